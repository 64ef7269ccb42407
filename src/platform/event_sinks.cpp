// The three event sinks: systemd journal, standard error, JSON-lines file.
#include "platform/event_sinks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/codepage.h"
#include "core/digits.h"
#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/stamps.h"
#include "platform/unique_fd.h"

namespace kvx {
namespace {

int JournalPriority(EventType type) {
  switch (type) {
    case EventType::kError:
      return 3;  // LOG_ERR
    case EventType::kWarning:
      return 4;  // LOG_WARNING
    case EventType::kInformation:
      break;
  }
  return 6;  // LOG_INFO
}

std::string_view TypeWord(EventType type) {
  switch (type) {
    case EventType::kError:
      return "Error";
    case EventType::kWarning:
      return "Warning";
    case EventType::kInformation:
      break;
  }
  return "Information";
}

std::string TwoDigits(int n) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", n);
  return buffer;
}

class JournalSink final : public EventSink {
 public:
  void Report(const EventEntry& e) noexcept override {
    try {
      const std::string message = Cp1252ToUtf8(e.text);
      const std::string source = Cp1252ToUtf8(e.source);
      // Each field is passed with %s so no byte of the text is ever read as
      // a format directive.
      sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d",
                      JournalPriority(e.type), "SYSLOG_IDENTIFIER=%s",
                      source.c_str(), "KVX_EVENT_TYPE=%d",
                      static_cast<int>(e.type), "KVX_EVENT_ID=%d", e.id,
                      "KVX_EVENT_CATEGORY=%d", e.category, nullptr);
    } catch (...) {
    }
  }
};

class StderrSink final : public EventSink {
 public:
  void Report(const EventEntry& e) noexcept override {
    try {
      const LocalTime t = clock_.Now();
      std::string line = std::to_string(t.year) + "-" + TwoDigits(t.month) +
                         "-" + TwoDigits(t.day) + " " + TwoDigits(t.hour) +
                         ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
      line += " " + Cp1252ToUtf8(e.source) + " " +
              std::string(TypeWord(e.type)) + ": " + Cp1252ToUtf8(e.text) +
              "\n";
      // One write where the system allows it; a short write (a pipe, a full
      // disk) is completed so the line is never cut.
      WriteAll(STDERR_FILENO, line);
    } catch (...) {
    }
  }

 private:
  SystemClock clock_;
};

// Opens the event-log file for appending, or holds nothing. The open never
// waits (a FIFO without a reader would hold the start for ever), and only a
// regular file is kept: a FIFO, a device or a directory loses the entries
// as a file that cannot be opened does.
UniqueFd OpenRegularFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK,
                     0644));
  if (!fd.valid()) return fd;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) fd.reset();
  return fd;
}

// Appends one JSON object per entry. The descriptor is opened at the first
// entry and again after any failure, so a file that cannot be opened now is
// tried again at the next entry.
class JsonFileSink final : public EventSink {
 public:
  JsonFileSink(std::string path, const Clock& clock)
      : path_(std::move(path)), clock_(clock) {}
  JsonFileSink(const JsonFileSink&) = delete;
  JsonFileSink& operator=(const JsonFileSink&) = delete;

  void Report(const EventEntry& e) noexcept override {
    ReportAll(std::span<const EventEntry>(&e, 1));
  }

  // One write for all the lines, so the entries of one frame step cost one
  // system call; a single append write keeps every line whole.
  void ReportAll(std::span<const EventEntry> entries) noexcept override {
    try {
      const LocalTime now = clock_.Now();
      std::string lines;
      for (const auto& e : entries) lines += JsonEventLine(now, e);
      MutexLock lock(mutex_);
      if (!fd_.valid()) {
        fd_ = OpenRegularFile(path_);
        if (!fd_.valid()) return;
      }
      // A single append write keeps every line whole; after a failure the
      // file is opened again at the next entry.
      if (WriteAll(fd_.get(), lines) != 0) fd_.reset();
    } catch (...) {
    }
  }

 private:
  const std::string path_;
  const Clock& clock_;
  Mutex mutex_;
  UniqueFd fd_ GUARDED_BY(mutex_);
};

SystemClock& TheSystemClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace

namespace {

constexpr bool NeedsEscape(unsigned char byte) {
  return byte == '"' || byte == '\\' || byte < 0x20 || byte == 0x7F;
}

// Bytes copied as they are into a JSON string of a code-page text: US-ASCII
// that needs no escape.
constexpr std::array<bool, 256> kCopied = [] {
  std::array<bool, 256> copied{};
  for (int b = 0; b < 0x80; ++b) {
    copied[b] = !NeedsEscape(static_cast<unsigned char>(b));
  }
  return copied;
}();

void AppendEscape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (byte == '"' || byte == '\\') {
    const char escaped[2] = {'\\', static_cast<char>(byte)};
    out.append(escaped, 2);
  } else {
    const char escaped[6] = {
        '\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0x0F]};
    out.append(escaped, 6);
  }
}

// Appends a code-page text as the inside of a JSON string in one pass:
// the same as escaping its UTF-8 form (characters above US-ASCII never
// need an escape).
void AppendJsonEscapedCp1252(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = i;
    while (end < text.size() &&
           kCopied[static_cast<unsigned char>(text[end])]) {
      ++end;
    }
    out.append(text.substr(i, end - i));
    if (end == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[end]);
    if (byte < 0x80) {
      AppendEscape(out, byte);
    } else {
      AppendUtf8(out, Cp1252ToCodePoint(byte));
    }
    i = end + 1;
  }
}

// Appends the escaped form of `utf8`; runs that need no escape are copied
// whole.
void AppendJsonEscaped(std::string& out, std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::size_t end = i;
    while (end < utf8.size() &&
           !NeedsEscape(static_cast<unsigned char>(utf8[end]))) {
      ++end;
    }
    out.append(utf8.substr(i, end - i));
    if (end == utf8.size()) break;
    const auto byte = static_cast<unsigned char>(utf8[end]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
    i = end + 1;
  }
}

}  // namespace

std::string JsonEscape(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 8);
  AppendJsonEscaped(out, utf8);
  return out;
}

std::string JsonEventLine(const LocalTime& t, const EventEntry& e) {
  std::string line;
  // Room for the text with a few escapes; more only grows the string.
  line.reserve(e.text.size() + e.text.size() / 4 + 160);
  // {"time":"yyyy-mm-ddThh:nn:ss.zzz",
  line += "{\"time\":\"";
  AppendPadded(line, t.year, 4);
  line += '-';
  AppendPadded(line, t.month, 2);
  line += '-';
  AppendPadded(line, t.day, 2);
  line += 'T';
  AppendClockTime(line, t);
  line += '.';
  AppendPadded(line, t.millisecond, 3);
  line += "\",\"source\":\"";
  AppendJsonEscapedCp1252(line, e.source);
  line += "\",\"type\":";
  AppendPadded(line, static_cast<int>(e.type));
  line += ",\"id\":";
  AppendPadded(line, e.id);
  line += ",\"category\":";
  AppendPadded(line, e.category);
  line += ",\"text\":\"";
  AppendJsonEscapedCp1252(line, e.text);
  line += "\"}\n";
  return line;
}

std::unique_ptr<EventSink> MakeJournalSink() {
  return std::make_unique<JournalSink>();
}

std::unique_ptr<EventSink> MakeStderrSink() {
  return std::make_unique<StderrSink>();
}

std::unique_ptr<EventSink> MakeJsonFileSink(std::string path) {
  return MakeJsonFileSink(std::move(path), TheSystemClock());
}

std::unique_ptr<EventSink> MakeJsonFileSink(std::string path,
                                            const Clock& clock) {
  return std::make_unique<JsonFileSink>(std::move(path), clock);
}

std::unique_ptr<EventSink> MakeEventSinkFromEnvironment() {
  const char* value = std::getenv("KVX_EVENT_LOG");
  const std::string choice = value != nullptr ? value : "";
  if (choice == "journal") return MakeJournalSink();
  if (choice == "stderr") return MakeStderrSink();
  if (!choice.empty()) return MakeJsonFileSink(choice);
  if (::access("/run/systemd/journal/socket", F_OK) == 0) {
    return MakeJournalSink();
  }
  return MakeStderrSink();
}

}  // namespace kvx
