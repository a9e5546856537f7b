// One client connection of the embedded server, plain or TLS. Its state has
// one owner, the connection's strand: requests are read there and answers
// written there. A request for the module runs on the strand itself while
// another network thread is free (RunInline), else on a worker, which hands
// its end back as a message; what the module writes reaches the strand as
// queued pieces, so a worker never touches the connection's state.
//
// The life of a request: WaitForRequest -> ReadHead -> OnHead (refused, or
// 100-continue) -> ReadBody -> OnRequest -> RunInline, or [worker]
// RunExtension -> OnExtensionReturned (or, for a pending request,
// OnSessionDone) ->
// FinishExtension -> the queued response written by WriteNext ->
// OnPiecesWritten -> OnResponseWritten -> the next request, or Close. The
// states it passes through are Connection::State below.
#pragma once

#include <array>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>

#include "hosts/extension/extension_request.h"
#include "hosts/operations/access_log.h"
#include "hosts/server/request_head.h"
#include "hosts/server/response_queue.h"
#include "hosts/server/server_context.h"

namespace hosts {

// Each connection's strand, and its socket, stream and timer bound to that
// strand by type: a type-erased executor would be copied to the heap at
// every operation.
using NetworkStrand = boost::asio::strand<boost::asio::io_context::executor_type>;
using NetworkSocket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, NetworkStrand>;
using PlainStream = NetworkSocket;
using TlsStream = boost::beast::ssl_stream<NetworkSocket>;
using DeadlineTimer = boost::asio::basic_waitable_timer<
    std::chrono::steady_clock, boost::asio::wait_traits<std::chrono::steady_clock>, NetworkStrand>;

// `Stream` is PlainStream or TlsStream.
template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>>,
                   private ResponseTransport {
 public:
  // `tls` is the TLS listeners' context, null for a plain connection.
  // `proxied`: the peer is a trusted proxy, its connection not counted per
  // address (ServerLimits::AdmitConnection).
  Connection(ServerContext* server, NetworkStrand strand, NetworkSocket socket, std::string address,
             bool proxied, boost::asio::ssl::context* tls);
  ~Connection() override;

  void Start();

 private:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;
  using Self = std::shared_ptr<Connection>;

  // The connection's life, one state at a time, changed on the strand only.
  //
  //   kWaitingForHead  no request in hand: waiting for a request's first
  //                    byte (idle deadline) or the rest of its head (header
  //                    deadline). -> kHeadIn, kAnsweringEarly, kClosing
  //   kHeadIn          a head is in, its body not yet asked for.
  //                    -> kReadingBody, kInModule, kAnswering,
  //                    kAnsweringEarly
  //   kReadingBody     the body is arriving (a 100 Continue may be on its
  //                    way first); registered with the server so that a
  //                    stop waits for it within its grace, then answers it
  //                    (InterruptBody).
  //                    -> kInModule, kAnswering, kAnsweringEarly
  //   kInModule        the whole request is in and the module's call runs
  //                    (ModuleCall says how far); its writes are queued.
  //                    -> kAnswering once the module is done
  //   kAnswering       the response is written out (the module's, or the
  //                    server's own answer). -> kAnswered
  //   kAnsweringEarly  answered before the body was read (a refused head, a
  //                    body past its bound). -> kAnswered, then kLingering
  //   kAnswered        the request is logged and released; the connection
  //                    goes on to the next request, lingers or closes.
  //   kLingering       what the client still sends is read and dropped,
  //                    within a bound, so that it reads the answer. -> kClosing
  //   kClientGone      closed (a write failed, a deadline passed) while a
  //                    request was in hand: nothing more is written; the
  //                    request ends once the module is done. -> kClosing
  //   kClosing         the socket is shut (a TLS close may still run).
  //
  // From kHeadIn to kClientGone a request is in hand and a line is owed
  // for it. The counts a request holds on the server (admitted_,
  // response_counted_, held_body_) are released once, by FinishRequest.
  enum class State {
    kWaitingForHead,
    kHeadIn,
    kReadingBody,
    kInModule,
    kAnswering,
    kAnsweringEarly,
    kAnswered,
    kLingering,
    kClientGone,
    kClosing,
  };
  // How far the module's call is: running; returned HSE_STATUS_PENDING and
  // waiting for its session's end; or its session ended before the call
  // returned. kNone once FinishExtension has run (or before any call).
  enum class ModuleCall { kNone, kRunning, kReturnedPending, kSessionEnded };

  bool InHand() const {
    return state_ >= State::kHeadIn && state_ != State::kAnswered && state_ != State::kLingering &&
           state_ != State::kClosing;
  }
  bool Gone() const { return state_ == State::kClientGone || state_ == State::kClosing; }
  // Leaves kReadingBody: the server no longer needs to interrupt this body.
  void StopReadingBody();

  // Runs a handler's work on the strand; what it throws closes this
  // connection, never the server.
  template <class Work>
  void Guarded(Work&& work) {
    try {
      work();
    } catch (const std::exception& failure) {
      server_->Warn(std::string("connection from ") + address_ + " closed: " + failure.what());
      Close(false);
    } catch (...) {
      server_->Warn("connection from " + address_ + " closed: an exception of unknown type");
      Close(false);
    }
  }
  NetworkSocket& socket() { return boost::beast::get_lowest_layer(stream_); }

  // Deadlines. The next operation on the client must end within `after`,
  // else the connection is closed; Unbounded: nothing waits on the client
  // (the module is at work). One timer per connection is armed lazily: a
  // later deadline only moves a number, so a busy connection sets no timer
  // per request.
  void Expire(std::chrono::seconds after);
  void Unbounded() { deadline_ = std::chrono::steady_clock::time_point::max(); }
  void ArmTimer();
  void OnTimer(boost::system::error_code ec);

  // Reading.
  void WaitForRequest();
  void ReadHead();
  void OnHead(boost::system::error_code ec);
  void StartReadingBody();
  void ReadBody();
  void OnBodyRead(boost::system::error_code ec);
  void OnRequest();
  void InterruptBody();

  // The module.
  void RunExtension();
  void RunInline();
  [[nodiscard]] DWORD CallModule();
  void OnExtensionReturned(DWORD result);
  void OnSessionDone(DWORD status);
  void FinishExtension(DWORD result);

  // ResponseTransport, called by the worker during the module call or on
  // the strand.
  bool SendHead(const ResponseHead& head) override;
  bool SendBody(std::string_view bytes) override;
  bool CanSendAsync() const override { return true; }
  bool SendBodyAsync(std::string_view bytes, Sent sent) override;
  void End(bool reusable) override;
  // Runs `work` on the strand: at once when already there.
  template <class Work>
  void OnStrand(Work&& work) {
    if (strand_.running_in_this_thread()) return work();
    boost::asio::post(strand_,
                      [self = this->shared_from_this(), work = std::forward<Work>(work)]() mutable {
                        self->Guarded(work);
                      });
  }

  // Writing.
  void BeginResponse();
  // An answer of the server's own, text/plain (`text`, or the status's);
  // `linger`: given before the body was read, then the connection goes.
  // `retry_after`: seconds for a Retry-After field, none when 0.
  void Answer(unsigned status, bool linger, std::string_view text = {}, unsigned retry_after = 0);
  // Writes what is queued, as one gather write, unless writes are held:
  // a module call on the strand, or the end of a response, queues its
  // pieces first, so that a head and its body leave together.
  void WriteNext();
  void HoldWrites() { writes_held_ = true; }
  void ReleaseWrites() {
    writes_held_ = false;
    WriteNext();
  }
  void OnPiecesWritten(boost::system::error_code ec);
  void OnResponseWritten();
  void FinishRequest();
  void Linger();
  void Discard();
  void Close(bool graceful);
  void CloseSocket();

  ServerContext* const server_;
  NetworkStrand strand_;
  Stream stream_;
  DeadlineTimer timer_;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
  bool timer_armed_ = false;
  const std::string address_;
  const bool proxied_;
  std::string remote_port_;
  std::string local_addr_;
  std::string local_port_;
  boost::beast::flat_buffer buffer_;
  // The head's fields and target: in this room while they fit (a browser's
  // head does), released for each request.
  std::array<std::byte, 2048> head_room_;
  std::pmr::monotonic_buffer_resource head_arena_{head_room_.data(), head_room_.size()};
  std::optional<RequestParser> parser_;
  std::size_t head_fields_ = 0;

  State state_ = State::kWaitingForHead;
  // The request in hand. `client_` is who it is counted, limited and
  // logged as: the peer, or the client a trusted proxy names once the head
  // is in. `method_` is "-" for a head that could not be read.
  std::string client_;
  std::string method_;
  std::string target_;
  std::chrono::steady_clock::time_point start_;
  ResponseContext context_;
  bool admitted_ = false;
  bool response_counted_ = false;
  std::uint64_t held_body_ = 0;
  std::uint64_t discarded_ = 0;
  AccessRecord access_;  // filled only when an access log is kept

  // The module's call and its response.
  std::optional<ExtensionRequest> extension_;  // in place: no allocation per request
  ModuleCall module_ = ModuleCall::kNone;
  DWORD session_status_ = 0;  // kSessionEnded: the status it ended with
  ResponseQueue queue_;
  std::size_t pieces_in_flight_ = 0;                         // written by the write under way
  std::array<boost::asio::const_buffer, 48> write_buffers_;  // theirs, three at most a piece
  bool writes_held_ = false;
};

}  // namespace hosts
