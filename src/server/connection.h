// One accepted TCP connection: its receive buffer, its frame steps and its
// replies. Internal to the connection server.
#ifndef KVX_SERVER_CONNECTION_H_
#define KVX_SERVER_CONNECTION_H_

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/mutex.h"
#include "server/admission.h"
#include "server/connection_counts.h"
#include "server/connection_limits.h"
#include "server/frame_step.h"
#include "server/listener_guards.h"
#include "server/receive_timeout.h"

namespace kvx {

class ArchiveWriter;
class Clock;
class CompletionInbox;
class ConnectionManager;
class ConnectionTrace;
class EventLog;
class ServerObserver;
class WarningLimiter;
struct Metrics;
struct Settings;

// A connection's socket and timers run on its thread's io_context; the
// concrete executor keeps them and their pending operations small.
using ConnectionSocket =
    asio::basic_stream_socket<asio::ip::tcp, asio::io_context::executor_type>;
using ConnectionTimer =
    asio::basic_waitable_timer<std::chrono::steady_clock,
                               asio::wait_traits<std::chrono::steady_clock>,
                               asio::io_context::executor_type>;

// One socket read takes at most this many bytes.
inline constexpr std::size_t kReadSize = 32768;
// A connection whose buffer holds more than this after its frame steps is
// closed: no client sends frames that large, and one that never sends an
// EOT must not exhaust memory.
inline constexpr std::size_t kReceiveBufferLimit = 16 * 1024 * 1024;
// Replies queued for one connection beyond this: the connection reads and
// unpacks nothing more until half of them have gone out, so a client that
// never reads is held by TCP flow control, not by the gateway's memory.
inline constexpr std::size_t kReplyQueueLimit = 1024 * 1024;

// "Socket Error # <n>" CR LF and the system's description for a system
// error; the error's own message otherwise.
std::string SocketErrorMessage(const std::error_code& ec);

// The listener's protections as set at Start; fixed while it is active.
// The limits are made anew at each Start, when no connection is open.
struct Exposure {
  ListenerGuards guards;
  std::unique_ptr<ConnectionLimits> limits;
};

// What every connection uses; owned by the server, outlives its connections.
struct ConnectionServices {
  const Settings& settings;
  EventLog& events;
  ArchiveWriter& writer;
  ServerObserver& observer;
  ConnectionManager& manager;
  Metrics& metrics;
  ReceiveBudget& budget;  // every connection's receive buffer together
  const Clock& clock;
  WarningLimiter& warnings;  // the entries about refused connections
  const Exposure& exposure;
};

// Whether a connection from `client` may be served: the allow-list first,
// then the connection limits, whose place `slot` then holds. A refused
// connection is counted and named in a warning entry, at most once a minute
// per address.
bool AdmitClient(const ConnectionServices& services,
                 const asio::ip::address& client, ConnectionSlot& slot);

// DESIGN: every handler of a connection runs on the one thread that runs
// its socket's io_context, so FReceiveBuffer, the write queue and the trace
// need no lock. Before any frame byte a connection may pass two stages:
// the PROXY header of a load balancer (ProxyProtocol; read exactly up to
// its end, so that nothing after it is taken, and never traced) and the TLS
// handshake (with TLSCertificate); each has a deadline. Only then is the
// connection traced, and the stages of reading begin, in order:
//
//   WaitReadable -> ReadAvailable -> Receive -> Examine -> StartFrameStep
//        ^                                        |  (archive thread)
//        +------------ ContinueReading <--- FinishFrameStep
//
// Bytes are examined when they arrive (only the new ones are searched for
// the markers). While the buffer holds a frame the frame steps run one after
// the other: each is planned here (PlanFrameStep), its archive files go to
// the archive writer, and the step is resolved here once they are written
// (ResolveFrameStep). Meanwhile the connection reads nothing more, as if the
// step ran at once, and its thread serves other connections. The outcomes
// come back through the thread's CompletionInbox, a batch at a time. A failed
// frame step leaves the frame in the buffer and arms a one-second timer; only
// the timer retries it, whatever arrives meanwhile, and the same error entry is
// written at most once a second. Replies are queued, one write in flight;
// the replies queued meanwhile go out together in the next write. While
// more than kReplyQueueLimit bytes wait, nothing is read or unpacked. The
// receive buffer counts against the budget of all connections. The end of
// the client's input ends the connection once nothing it sent waits for a
// reply. The connection keeps itself alive through the handlers it has
// pending, and a frame step in flight keeps its thread's io_context running.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // `slot`: the place admitted at accept; empty when admission waits for
  // the PROXY header. `inbox`: that of the thread that runs the socket's
  // io_context. `services` and `inbox` must outlive the connection.
  Connection(ConnectionSocket socket, std::string peer_id,
             const ConnectionServices& services, ConnectionSlot slot,
             CompletionInbox& inbox);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Makes the trace, records the connect and starts reading. Call once.
  void Start();
  // Ends the connection from any thread (idempotent).
  void Close();

 private:
  void Begin();
  // The stages before the first frame byte.
  std::size_t HeaderBytesWanted() const;
  void ReceiveHeader(const std::error_code& ec, std::string_view bytes);
  void RefuseHeader(const std::string& text);
  void StartHandshake();
  void Handshaken(const std::error_code& ec);
  void RefuseHandshake(const std::string& reason);
  void StartFrames();
  bool Trace();
  // The stages of reading.
  void WaitReadable();
  void ReadAvailable(const std::error_code& ec);
  void Receive(const std::error_code& ec, std::string_view bytes);
  void Examine();
  // What StartFrameStep did: nothing (no frame, or a failure that waits for
  // its retry: read on); handed the step on or continued the connection
  // itself; or answered the frame at once (examine the buffer again).
  enum class StepStart { kNone, kHandled, kAnswered };
  StepStart StartFrameStep();
  StepStart SubmitFrameStep();
  void FinishFrameStep(const ArchiveOutcome& outcome);
  // FinishFrameStep without what follows it: true when the buffer is to be
  // examined again.
  bool CompleteFrameStep(const ArchiveOutcome& outcome);
  void ContinueReading();
  // Helpers of those stages.
  void NoteMarkers(std::string_view bytes);
  void RemoveLeading(std::size_t bytes);
  void EndIfAnswered();
  void ArmRetry();
  void WatchReceiveTimeout();
  void ReceiveTimedOut(const std::error_code& ec);
  void ReportError(std::string_view text);
  // Replies.
  void Write(std::string_view bytes);
  void WriteNext();
  void Written(const std::error_code& ec);
  void Shutdown();
  // Timers are made at their first use: most connections never need them.
  ConnectionTimer& Timer(std::unique_ptr<ConnectionTimer>& timer);
  static void CancelTimer(const std::unique_ptr<ConnectionTimer>& timer);
  void ReportConnectionException(const std::exception& e);

  // The TLS stream over socket_ and the context it was made from.
  struct TlsLayer;
  enum class Stage { kProxyHeader, kHandshake, kFrames };

  ConnectionSocket socket_;
  std::unique_ptr<ConnectionTimer> retry_timer_;
  // The deadline of the PROXY header and of the TLS handshake.
  std::unique_ptr<ConnectionTimer> stage_timer_;
  std::unique_ptr<ConnectionTimer> receive_timer_;
  // The client's "IP:port" and its address; replaced once by the PROXY
  // header's source.
  std::string peer_id_;
  asio::ip::address client_;
  const ConnectionServices& services_;
  CompletionInbox& inbox_;
  // The connection's place under the limits; given back on destruction.
  ConnectionSlot slot_;
  ConnectionCounts counts_;
  Stage stage_ = Stage::kFrames;
  std::string header_bytes_;  // the PROXY header read so far
  // A balancer's own check (a LOCAL header): traced at its first byte only.
  bool local_check_ = false;
  std::unique_ptr<TlsLayer> tls_;  // after socket_: refers to it
  ReceiveTimeout receive_timeout_;
  bool receive_timer_armed_ = false;
  bool took_frame_ = false;  // a frame step succeeded since the last check
  std::unique_ptr<ConnectionTrace> trace_;
  bool traced_ = false;      // Connected succeeded: Disconnected is owed
  bool read_ended_ = false;  // the peer closed its side: flush, then close
  bool closed_ = false;
  bool read_pending_ = false;   // a wait for readability is outstanding
  bool retry_pending_ = false;  // a failed step waits for the retry timer
  bool drain_wait_ = false;     // too many reply bytes queued: paused
  std::string FReceiveBuffer;
  // The frame step whose archive files are being written.
  std::unique_ptr<FramePlan> step_;
  // Whether FReceiveBuffer holds a SOH, and an EOT after the first one (a
  // frame): updated from each read's bytes alone and recomputed after each
  // frame step, so that a buffer growing without a frame is never scanned
  // whole again.
  bool has_soh_ = false;
  bool has_eot_ = false;
  std::string pending_writes_;    // replies queued behind the write in flight
  std::string in_flight_;         // the bytes of the write in flight
  bool writing_ = false;          // a write is in flight
  std::size_t queued_bytes_ = 0;  // in both
  std::size_t budgeted_ = 0;      // of the budget, held for FReceiveBuffer
  // Made at the first error entry: most connections never write one.
  std::unique_ptr<EntryThrottle> throttle_;
};

// The open connections. Thread-safe.
class ConnectionManager {
 public:
  void Add(std::shared_ptr<Connection> connection);
  void Remove(const std::shared_ptr<Connection>& connection);
  // Asks every open connection to close.
  void CloseAll();

 private:
  Mutex mutex_;
  std::set<std::shared_ptr<Connection>> connections_ GUARDED_BY(mutex_);
};

}  // namespace kvx

#endif  // KVX_SERVER_CONNECTION_H_
