// A client's WebSocket: bounded reads, the protocol's order (config, audio, end), and a bounded
// queue of messages out. Everything here runs on the connection's strand; the Outlet calls post
// to it.
#include "server/connection.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "platform/quern_log.h"

namespace server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

std::string error_message(const std::string& message) {
  return nlohmann::ordered_json{{"type", "error"}, {"message", message}}.dump(
      -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A close frame's reason holds at most 123 bytes (and must stay UTF-8: cut at a character).
std::string close_reason(std::string reason) {
  if (reason.size() <= 123) return reason;
  std::size_t n = 123;
  while (n > 0 && (static_cast<unsigned char>(reason[n]) & 0xC0) == 0x80) --n;
  reason.resize(n);
  return reason;
}

double seconds_since(Clock::time_point t, Clock::time_point now) {
  return std::chrono::duration<double>(now - t).count();
}

}  // namespace

Connection::Connection(Stream stream, SocketSlot slot, Server::Impl& server)
    : ws_(std::move(stream)),
      slot_(std::move(slot)),
      server_(server),
      watchdog_(ws_.get_executor()),
      opened_(Clock::now()) {}

Connection::~Connection() {
  server_.metrics.sessions_open.fetch_sub(1, std::memory_order_relaxed);
  server_.connections.fetch_sub(1, std::memory_order_relaxed);
}

void Connection::start(beast::http::request<beast::http::string_body> request) {
  beast::get_lowest_layer(ws_).expires_never();  // the WebSocket keeps its own time from here
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = std::chrono::seconds(5);  // also bounds the closing handshake
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  ws_.set_option(timeouts);
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& res) { res.set(beast::http::field::server, "quern"); }));
  ws_.read_message_max(0);  // bounded here instead, with an answer the client can read
  ws_.auto_fragment(false);
  server_.metrics.sessions_open.fetch_add(1, std::memory_order_relaxed);
  server_.metrics.sessions_total.fetch_add(1, std::memory_order_relaxed);
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
    if (ec) return self->finished();
    self->server_.add_connection(self);
    if (self->server_.draining) return self->begin_close(CloseCode::going_away, "draining");
    self->watch();
    self->read();
  });
}

void Connection::drain() {
  asio::post(ws_.get_executor(), [self = shared_from_this()] {
    if (self->finished_) return;
    if (!self->session_) return self->begin_close(CloseCode::going_away, "draining");
    if (self->ended_) return;  // already finishing on its own
    self->ended_ = true;
    self->decoded_.clear();
    self->decoder_->flush(self->decoded_);
    self->session_->add_audio(self->decoded_, Clock::now());
    self->session_->end_input(/*shutdown=*/true);
  });
}

void Connection::send(std::string text) {
  asio::post(ws_.get_executor(), [self = shared_from_this(), text = std::move(text)]() mutable {
    self->enqueue(std::move(text));
  });
}

void Connection::close(CloseCode code, std::string reason) {
  asio::post(ws_.get_executor(),
             [self = shared_from_this(), code, reason = std::move(reason)]() mutable {
               self->begin_close(code, std::move(reason));
             });
}

void Connection::resume_reading() {
  asio::post(ws_.get_executor(), [self = shared_from_this()] {
    if (!self->paused_) return;
    self->paused_ = false;
    // The idle timeout counts from here: the wait was the server's.
    if (self->session_) self->session_->touch(Clock::now());
    self->read();
  });
}

void Connection::read() {
  if (reading_ || finished_) return;
  reading_ = true;
  // Never more than one byte past the limit, so an oversized message is known without holding it.
  const std::size_t room = server_.options.max_message_bytes + 1 - buffer_.size();
  ws_.async_read_some(buffer_, room,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                        self->reading_ = false;
                        self->on_read(ec);
                      });
}

void Connection::on_read(beast::error_code ec) {
  if (ec) return finished();
  if (rejecting_) {
    buffer_.clear();
    return read();
  }
  if (buffer_.size() > server_.options.max_message_bytes) {
    return reject(ErrorKind::too_big,
                  ProtocolError(CloseCode::too_big,
                                "a message may hold at most " +
                                    std::to_string(server_.options.max_message_bytes) + " bytes"));
  }
  if (!ws_.is_message_done()) return read();
  const bool text = ws_.got_text();
  if (session_) session_->touch(Clock::now());
  try {
    on_message(text);
  } catch (const ProtocolError& e) {
    reject(ErrorKind::protocol, e);
  } catch (const std::exception& e) {
    reject(ErrorKind::protocol, ProtocolError(CloseCode::internal, e.what()));
  }
  buffer_.clear();
  if (!paused_) read();
}

void Connection::on_message(bool text) {
  const auto data = buffer_.cdata();
  if (text) {
    on_text({static_cast<const char*>(data.data()), data.size()});
  } else {
    on_binary({static_cast<const std::byte*>(data.data()), data.size()});
  }
}

void Connection::on_text(std::string_view text) {
  if (!session_) {
    const ServerOptions& o = server_.options;
    const StreamConfig config = parse_stream_config(text, o.defaults);
    decoder_ = std::make_unique<AudioDecoder>(config.format, config.sample_rate);
    quern::StreamOptions stream{
        .engines = o.engines,
        .vad = {.silence_duration = config.vad_silence,
                .speech_padding = config.vad_padding,
                .use_model = o.vad_model,
                .model_path = o.vad_model_path},
        .endpoint = {.silence_timeout = config.silence_timeout,
                     .max_utterance = config.max_utterance},
        .sample_rate = kEngineRate,
        .language = config.language,
        .hotwords = config.hotwords,
        .defer_finals = true,
    };
    if (config.vad_threshold) {
      (o.vad_model ? stream.vad.model_threshold : stream.vad.energy_threshold) =
          *config.vad_threshold;
    }
    session_ = std::make_shared<Session>(server_.next_session_id(), config, std::move(stream),
                                         o.limits, weak_from_this(), server_.metrics);
    server_.add_session(session_);
    // The first turn: loading the engines, away from the I/O threads.
    server_.post_slow([session = session_] {
      if (session->load()) session->end_turn();
    });
    return;
  }
  if (parse_control(text) == Control::end) {
    if (ended_) throw ProtocolError(CloseCode::policy, "the stream already ended");
    ended_ = true;
    decoded_.clear();
    decoder_->flush(decoded_);
    session_->add_audio(decoded_, Clock::now());
    session_->end_input(/*shutdown=*/false);
  }
}

void Connection::on_binary(std::span<const std::byte> data) {
  if (!session_) throw ProtocolError(CloseCode::policy, "audio before the config");
  if (ended_) {
    if (server_.draining) return;  // the drain ended the stream, not the client
    throw ProtocolError(CloseCode::policy, "audio after the end of the stream");
  }
  server_.metrics.audio_messages_total.fetch_add(1, std::memory_order_relaxed);
  decoded_.clear();
  decoder_->decode(data, decoded_);
  if (!session_->add_audio(decoded_, Clock::now())) paused_ = true;
}

void Connection::reject(ErrorKind kind, const ProtocolError& error) {
  server_.metrics.error(kind);
  if (quern_log::logger.enabled(quern_log::Level::info)) {
    quern_log::logger.info(std::string("connection closed: ") + error.what());
  }
  rejecting_ = true;
  paused_ = false;
  if (session_) session_->disconnect();  // no engine runs for it again
  enqueue(error_message(error.what()));
  begin_close(error.code(), error.what());
}

void Connection::enqueue(std::string text) {
  if (finished_ || close_) return;
  if (outbox_.size() >= server_.options.max_send_queue) {
    // It does not read: no close frame would reach it either.
    server_.metrics.error(ErrorKind::slow_client);
    quern_log::logger.warning("connection closed: the client does not read its results");
    return finished();
  }
  outbox_.push_back(std::move(text));
  write_next();
}

void Connection::begin_close(CloseCode code, std::string reason) {
  if (close_ || finished_) return;
  close_.emplace(code, close_reason(std::move(reason)));
  write_next();
}

void Connection::write_next() {
  if (writing_ || finished_) return;
  if (outbox_.empty()) {
    if (!close_ || close_sent_) return;
    close_sent_ = true;
    writing_ = true;
    write_started_ = Clock::now();
    websocket::close_reason reason(static_cast<std::uint16_t>(close_->first));
    reason.reason = close_->second;
    ws_.async_close(reason, [self = shared_from_this()](beast::error_code) {
      self->writing_ = false;
      self->finished();
    });
    return;
  }
  writing_ = true;
  write_started_ = Clock::now();
  ws_.text(true);
  ws_.async_write(asio::buffer(outbox_.front()),
                  [self = shared_from_this()](beast::error_code ec, std::size_t) {
                    self->writing_ = false;
                    if (ec) return self->finished();
                    self->outbox_.pop_front();
                    self->write_next();
                  });
}

void Connection::watch() {
  watchdog_.expires_after(std::chrono::seconds(1));
  watchdog_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec || self->finished_) return;
    const ServerOptions& o = self->server_.options;
    const auto now = Clock::now();
    // (The closing handshake has the WebSocket's own timeout.)
    if (self->writing_ && !self->close_sent_ &&
        seconds_since(self->write_started_, now) > o.send_timeout) {
      self->server_.metrics.error(ErrorKind::slow_client);
      quern_log::logger.warning("connection closed: the client does not read its results");
      return self->finished();
    }
    if (!self->rejecting_ && !self->close_) {
      if (!self->session_ && seconds_since(self->opened_, now) > o.config_timeout) {
        self->reject(ErrorKind::timeout,
                     ProtocolError(CloseCode::policy, "no config within the config timeout"));
      } else if (self->session_ && !self->ended_ && !self->paused_ &&
                 seconds_since(self->session_->last_message(), now) > o.idle_timeout) {
        // (Not while reading waits for the session: then the silence is the server's.)
        self->reject(ErrorKind::timeout,
                     ProtocolError(CloseCode::policy, "no message within the idle timeout"));
      }
    }
    self->watch();
  });
}

void Connection::finished() {
  if (finished_) return;
  finished_ = true;
  watchdog_.cancel();
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().close(ignored);
  outbox_.clear();
  if (session_) {
    session_->disconnect();
    server_.remove_session(session_.get());
  }
  server_.remove_connection(this);
}

}  // namespace server
