// Program entry of KvxTCPServer.
#include "service/kavero_tcpip.h"

int main() {
  kvx::TKaveroTCPIP module;
  return 0;
}
