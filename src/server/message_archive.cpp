#include "server/message_archive.h"

#include <cassert>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/line_list.h"
#include "platform/stamps.h"
#include "service/settings.h"

namespace kvx {

MessageArchive::MessageArchive(const Settings& settings, FileSystem& files,
                               Clock& clock)
    : settings_(settings), files_(files), clock_(clock) {}

bool MessageArchive::Enabled() const {
  return settings_.FOutputToFile == "True";
}

int MessageArchive::FileCounter() {
  std::scoped_lock lock(FArchiveLock);
  return FFileCounter;
}

void MessageArchive::SetFileCounter(int counter) {
  assert(counter >= kFirstFileNumber && counter <= kLastFileNumber);
  std::scoped_lock lock(FArchiveLock);
  FFileCounter = counter;
}

std::string MessageArchive::FileName(std::string_view prefix,
                                     std::string_view extension) const {
  std::string name = settings_.FOutputDirectory;
  name += prefix;
  name += FileStamp(clock_.Now());
  name += '_';
  name += std::to_string(FFileCounter);
  name += extension;
  return name;
}

ArchivePass::ArchivePass(MessageArchive& archive)
    : archive_(archive), lock_(archive.FArchiveLock) {}

void ArchivePass::WriteRaw(std::string_view buffer) {
  assert(lock_.owns_lock());
  // One line whatever the buffer holds: its bytes and one CR LF.
  std::string text;
  text.reserve(buffer.size() + 2);
  text.append(buffer);
  text += "\r\n";
  archive_.files_.WriteFile(archive_.FileName("/TCP_COMx_", ".TXT"), text);
}

void ArchivePass::WriteDecoded(ArchiveKind kind, std::string_view message) {
  assert(lock_.owns_lock());
  const std::string_view prefix =
      kind == ArchiveKind::kCom ? "/TCP_COM_" : "/TCP_DIV_";
  SaveLineListText(archive_.files_, archive_.FileName(prefix, ".XML"), message);
  int& counter = archive_.FFileCounter;
  counter = counter >= kLastFileNumber ? kFirstFileNumber : counter + 1;
}

}  // namespace kvx
