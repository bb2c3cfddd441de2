// Connection: one client's WebSocket on its own strand — reads messages (bounded in size),
// parses the config and control messages, decodes audio into its Session, and writes the
// session's messages from a bounded queue. Not installed.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/audio_decoder.h"
#include "server/server_impl.h"
#include "server/session.h"

namespace server {

class Connection : public Outlet, public std::enable_shared_from_this<Connection> {
 public:
  using Stream = boost::beast::websocket::stream<boost::beast::tcp_stream>;

  // Takes the upgraded stream; the caller has counted it with Impl::admit_connection().
  Connection(Stream stream, SocketSlot slot, Server::Impl& server);
  ~Connection() override;

  // Completes the WebSocket handshake for `request`, then reads.
  void start(boost::beast::http::request<boost::beast::http::string_body> request);
  // The server drains: an open stream ends with its final and 1001.
  void drain();

  // Outlet (any thread).
  void send(std::string text) override;
  void close(CloseCode code, std::string reason) override;
  void resume_reading() override;

 private:
  void read();
  void on_read(boost::beast::error_code ec);
  void on_message(bool text);
  void on_text(std::string_view text);
  void on_binary(std::span<const std::byte> data);
  // Answers a client's fault: an error message, then a close with its code.
  void reject(ErrorKind kind, const ProtocolError& error);
  void enqueue(std::string text);
  void begin_close(CloseCode code, std::string reason);
  void write_next();
  void watch();
  void finished();

  Stream ws_;
  SocketSlot slot_;
  Server::Impl& server_;
  boost::beast::flat_buffer buffer_;  // one message at most (max_message_bytes + 1)
  boost::asio::steady_timer watchdog_;
  Clock::time_point opened_;
  Clock::time_point write_started_;  // of the write in flight

  std::deque<std::string> outbox_;
  bool writing_ = false;
  std::optional<std::pair<CloseCode, std::string>> close_;  // to send once the outbox is empty
  bool close_sent_ = false;
  bool rejecting_ = false;  // a fault was answered: further messages are dropped
  bool ended_ = false;      // the client sent its end
  bool paused_ = false;     // reading waits for the session to take its input
  bool reading_ = false;
  bool finished_ = false;

  std::unique_ptr<AudioDecoder> decoder_;
  std::vector<float> decoded_;  // one message's samples, reused
  std::shared_ptr<Session> session_;
};

}  // namespace server
