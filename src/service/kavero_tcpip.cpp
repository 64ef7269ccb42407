#include "service/kavero_tcpip.h"
