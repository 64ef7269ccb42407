#include "tools/send_tool.h"

#include <ostream>

#include "core/codepage.h"
#include "core/frame.h"
#include "platform/error.h"
#include "platform/tcp_client.h"
#include "core/message_texts.h"
#include "tools/arguments.h"
#include "tools/text_output.h"

namespace kvx {

const char kSendHelp[] =
    R"(Usage: kvx-send [OPTION]... [FILE]...
Sends messages to a Kavero TCP gateway and prints its replies.

Each FILE holds one message, sent as it is; "-" is standard input. The
options --type, --tag, --from, --to and --body compose one more message,
sent first:
  <MSG tag="TAG" type="TYPE"><Verzender>FROM</Verzender><Ontvanger>TO</Ontvanger>BODY</MSG>
With neither files nor those options the message is read from standard
input. All messages go in order over one connection, each framed as the
gateway frames its replies; each reply is read before the next message is
sent.

  -H, --host ADDRESS     gateway address (default 127.0.0.1); a name is
                         looked up with the system resolver
  -p, --port PORT        gateway port (default 9200)
      --type TYPE        type of the composed message (default COM)
      --tag TAG          its tag (without one the gateway answers NAK)
      --from SENDER      its <Verzender> element
      --to RECEIVER      its <Ontvanger> element
      --body TEXT        text after the two elements
  -t, --timeout SECONDS  limit for connecting and for each reply (default 5)
  -x, --hex              print the reply bytes in hexadecimal, not the text
      --tls              speak TLS (1.2 or 1.3); the gateway's certificate
                         must be valid for the address or name of --host
      --ca FILE          PEM CA to verify the gateway by (default: the
                         system's trusted CAs)
      --cert FILE        PEM certificate (chain) to present to the gateway
      --key FILE         PEM private key of --cert (unencrypted)
  -h, --help             print this text and end

Exit status: 0 when every reply is INF or ACK; 2 when the gateway refused a
message (NAK); 1 when the connection failed, a reply did not come in time or
was not a reply of the gateway; 64 for a command-line error.
)";

namespace {

constexpr std::size_t kMaxReply = 16 * 1024 * 1024;

std::string NoQuote(std::string value, const std::string& option) {
  if (value.find('"') != std::string::npos) {
    throw UsageError("option " + option +
                     ": a double quote would end the "
                     "attribute: " +
                     value);
  }
  return value;
}

}  // namespace

SendOptions ParseSendArguments(const std::vector<std::string>& args) {
  SendOptions o;
  ArgumentReader reader(args);
  std::string name;
  while (!reader.Done()) {
    if (!reader.Next(name)) {
      o.files.push_back(name);
      continue;
    }
    if (name.empty()) continue;
    if (name == "-h" || name == "--help") {
      reader.NoValue(name);
      o.help = true;
    } else if (name == "-H" || name == "--host") {
      o.host = reader.Value(name);
      if (o.host.empty()) throw UsageError("option " + name + " is empty");
    } else if (name == "-p" || name == "--port") {
      o.port = ParsePort(reader.Value(name), name);
    } else if (name == "-t" || name == "--timeout") {
      o.timeout = ParseSeconds(reader.Value(name), name);
    } else if (name == "-x" || name == "--hex") {
      reader.NoValue(name);
      o.hex = true;
    } else if (name == "--tls") {
      reader.NoValue(name);
      o.tls = true;
    } else if (name == "--ca") {
      o.ca = reader.Value(name);
    } else if (name == "--cert") {
      o.cert = reader.Value(name);
    } else if (name == "--key") {
      o.key = reader.Value(name);
    } else if (name == "--type") {
      o.type = NoQuote(Utf8ToCp1252(reader.Value(name)), name);
    } else if (name == "--tag") {
      o.tag = NoQuote(Utf8ToCp1252(reader.Value(name)), name);
    } else if (name == "--from") {
      o.sender = Utf8ToCp1252(reader.Value(name));
    } else if (name == "--to") {
      o.receiver = Utf8ToCp1252(reader.Value(name));
    } else if (name == "--body") {
      o.body = Utf8ToCp1252(reader.Value(name));
    } else {
      throw UsageError("unknown option: " + name);
    }
  }
  if (!o.tls && !(o.ca.empty() && o.cert.empty() && o.key.empty())) {
    throw UsageError("options --ca, --cert and --key need --tls");
  }
  if (o.cert.empty() != o.key.empty()) {
    throw UsageError("options --cert and --key go together");
  }
  return o;
}

bool ComposesMessage(const SendOptions& o) {
  return o.type || o.tag || o.sender || o.receiver || o.body;
}

std::string ComposeMessage(const SendOptions& o) {
  std::string m = "<MSG";
  if (o.tag) m += " tag=\"" + *o.tag + "\"";
  m += " type=\"" + o.type.value_or("COM") + "\">";
  if (o.sender) m += "<Verzender>" + *o.sender + "</Verzender>";
  if (o.receiver) m += "<Ontvanger>" + *o.receiver + "</Ontvanger>";
  return m + o.body.value_or("") + "</MSG>";
}

Reply ScanReply(std::string_view received) {
  Reply r;
  if (received.empty()) return r;
  if (received[0] == NAK) {
    r.kind = Reply::Kind::kNak;
    r.size = 1;
    return r;
  }
  if (received[0] != SOH) {
    r.kind = Reply::Kind::kUnexpected;
    r.size = received.size();
    return r;
  }
  std::size_t eot = received.find(EOT);
  if (eot == std::string_view::npos) return r;
  r.size = eot + 1;
  UnpackedFrame frame = UnpackFirstFrame(received.substr(0, r.size));
  if (frame.found != UnpackedFrame::Found::kFrame) {
    r.kind = Reply::Kind::kUnexpected;
    return r;
  }
  r.kind = Reply::Kind::kFrame;
  r.message = std::move(frame.message);
  return r;
}

namespace {

// Reads one reply; throws KvxError on a failure or timeout.
Reply ReadReply(TcpClient& client, std::string& received,
                std::chrono::milliseconds timeout, std::size_t number) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::string which = "reply to message " + std::to_string(number);
  for (;;) {
    Reply reply = ScanReply(received);
    if (reply.kind != Reply::Kind::kIncomplete) return reply;
    if (received.size() > kMaxReply) {
      throw KvxError(which + " from " + client.peer() + " has no end");
    }
    switch (client.ReadSome(received, deadline)) {
      case TcpClient::Read::kData:
        break;
      case TcpClient::Read::kClosed:
        throw KvxError(client.peer() + " closed the connection before the " +
                       which);
      case TcpClient::Read::kTimedOut:
        throw KvxError("no " + which + " from " + client.peer() + " within " +
                       std::to_string(timeout.count()) + " ms");
    }
  }
}

}  // namespace

int SendMessages(const SendOptions& options,
                 const std::vector<std::string>& messages, std::ostream& out,
                 std::ostream& err) {
  int status = kExitAnswered;
  try {
    TcpClient client;
    const auto connect_deadline =
        std::chrono::steady_clock::now() + options.timeout;
    client.Connect(options.host, options.port, connect_deadline);
    if (options.tls) {
      client.StartTls({options.ca, options.cert, options.key},
                      connect_deadline);
    }
    std::string received;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      client.SendAll(BuildFrame(messages[i]),
                     std::chrono::steady_clock::now() + options.timeout);
      Reply reply = ReadReply(client, received, options.timeout, i + 1);
      const std::string raw = received.substr(0, reply.size);
      received.erase(0, reply.size);
      if (options.hex) {
        out << HexBytes(raw) << '\n';
      } else if (reply.kind == Reply::Kind::kFrame) {
        out << Cp1252ToUtf8(reply.message);
        if (!reply.message.ends_with('\n')) out << '\n';
      }
      out.flush();
      if (reply.kind == Reply::Kind::kNak) {
        err << "kvx-send: message " << i + 1 << " refused (NAK)\n";
        status = kExitRefused;
        continue;
      }
      const std::string type = reply.kind == Reply::Kind::kFrame
                                   ? ExtractMsgType(reply.message)
                                   : std::string();
      if (type != "INF" && type != "ACK") {
        err << "kvx-send: the reply to message " << i + 1
            << " is not an INF or ACK reply: " << HexBytes(raw) << '\n';
        return kExitFailed;
      }
    }
  } catch (const std::exception& e) {
    err << "kvx-send: " << Cp1252ToUtf8(e.what()) << '\n';
    return kExitFailed;
  }
  return status;
}

}  // namespace kvx
