// The server: listening, the registries, the tick that batches detection and hands chunks to
// the workers, and the drain.
#include "server/server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <condition_variable>
#include <csignal>

#include "platform/quern_log.h"
#include "server/connection.h"
#include "server/http_session.h"
#include "utils/vad/process_audio_batch.h"

namespace server {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// Every queued job holds a session in its turn, and a session is in at most one job: the pools
// never hold more jobs than sessions.
std::size_t pool_room(const ServerOptions& o) { return o.max_sessions + 16; }

ServerOptions checked(ServerOptions o) {
  if (o.io_threads < 1 || o.workers < 1 || o.finalize_workers < 1) {
    throw std::invalid_argument("the server needs at least one thread of each kind");
  }
  if (o.max_sessions < 1 || o.max_message_bytes < 1 || o.max_send_queue < 1) {
    throw std::invalid_argument("the server's limits must be at least 1");
  }
  if (!(o.tick_seconds > 0) || !(o.poll_seconds > 0)) {
    throw std::invalid_argument("the tick and poll intervals must be positive");
  }
  // Loaded now, once, so that no session waits for it; when it cannot load, every session
  // judges speech by energy (the detector has said why).
  if (o.vad_model) {
    utils::vad::VADDetector probe(std::make_shared<utils::vad::VADConfig>(
        utils::vad::VADConfigFields{.use_model = true, .model_path = o.vad_model_path}));
    o.vad_model = probe.config->use_model;
  }
  return o;
}

}  // namespace

Server::Impl::Impl(ServerOptions o)
    : options(checked(std::move(o))),
      acceptor_(ioc),
      signals_(ioc),
      drain_deadline_(ioc),
      finalize_pool_("quern-final", options.finalize_workers, pool_room(options)),
      feed_pool_("quern-feed", options.workers, pool_room(options)) {
  const std::string where = options.host + ":" + std::to_string(options.port);
  try {
    tcp::resolver resolver(ioc);
    const auto endpoint =
        resolver.resolve(options.host, std::to_string(options.port), tcp::resolver::passive)
            .begin()
            ->endpoint();
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot listen on " + where + ": " + e.code().message());
  }
}

Server::Impl::~Impl() = default;

bool Server::Impl::admit_connection() {
  if (connections.fetch_add(1) >= options.max_sessions) {
    connections.fetch_sub(1);
    return false;
  }
  return true;
}

void Server::Impl::add_connection(const std::shared_ptr<Connection>& c) {
  utils::MutexLock lock(registry_mutex_);
  connections_.push_back(c);
}

void Server::Impl::remove_connection(const Connection* c) {
  {
    utils::MutexLock lock(registry_mutex_);
    std::erase_if(connections_, [c](const auto& p) { return p.get() == c; });
  }
  end_if_drained();
}

void Server::Impl::add_session(const std::shared_ptr<Session>& s) {
  utils::MutexLock lock(registry_mutex_);
  sessions_.push_back(s);
}

void Server::Impl::remove_session(const Session* s) {
  utils::MutexLock lock(registry_mutex_);
  std::erase_if(sessions_, [s](const auto& p) { return p.get() == s; });
}

void Server::Impl::accept() {
  acceptor_.async_accept(
      asio::make_strand(ioc), [this](boost::system::error_code ec, tcp::socket socket) {
        if (!acceptor_.is_open()) return;
        if (ec) {
          // Out of file descriptors, most likely: wait a little rather than spin.
          quern_log::logger.warning("accept failed: " + ec.message());
          auto pause = std::make_shared<asio::steady_timer>(ioc, std::chrono::milliseconds(100));
          pause->async_wait([this, pause](boost::system::error_code) { accept(); });
          return;
        }
        // Beyond the sessions and a margin for health checks and scrapes, a socket is closed at
        // once.
        if (sockets.load() >= options.max_sessions + 64) {
          metrics.error(ErrorKind::capacity);
          boost::system::error_code ignored;
          socket.close(ignored);
        } else {
          boost::system::error_code ignored;
          socket.set_option(tcp::no_delay(true), ignored);
          if (options.socket_send_buffer > 0) {
            socket.set_option(
                asio::socket_base::send_buffer_size(static_cast<int>(options.socket_send_buffer)),
                ignored);
          }
          std::make_shared<HttpSession>(std::move(socket), SocketSlot(sockets), *this)->run();
        }
        accept();
      });
}

void Server::Impl::tick(Clock::time_point now, bool poll) {
  {
    utils::MutexLock lock(registry_mutex_);
    snapshot_.assign(sessions_.begin(), sessions_.end());
  }
  fed_.clear();
  detectors_.clear();
  frames_.clear();
  verdicts_.clear();
  for (auto& s : snapshot_) {
    if (!s->take_turn()) continue;
    Session::Chunk chunk = s->take_chunk();
    if (!chunk.samples.empty()) {
      quern::Stream& stream = s->stream();
      const std::size_t n = chunk.samples.size();
      try {
        // Held only until the next tick clears frames_, so each carry reuses its storage.
        frames_.push_back(stream.prepare(std::move(chunk.samples)));
      } catch (const std::exception& e) {
        s->fail("streaming failed", e);  // an earlier failure ended its stream
        s->end_turn();
        continue;
      }
      detectors_.push_back(&stream.detector());
      verdicts_.push_back(&stream.verdicts());
      fed_.push_back({s, n, chunk.newest_arrival, chunk.last, chunk.shutdown});
    } else if (chunk.last) {
      post_slow([s, shutdown = chunk.shutdown] { s->finish(shutdown); });
    } else if (poll && s->poll()) {
      post_slow([s, now] {
        s->finalize(now);
        s->end_turn();
      });
    } else {
      s->end_turn();
    }
  }
  snapshot_.clear();
  if (fed_.empty()) return;

  // Every session's detection in one batch: the model's frames of all streams run together, and
  // each stream gets its frames' verdicts.
  try {
    utils::vad::process_audio_batch(detectors_, frames_, verdicts_);
  } catch (const std::exception& e) {
    // Not expected (every session's settings were checked when its stream was made).
    quern_log::logger.error(std::string("detection failed: ") + e.what());
    for (auto* v : verdicts_)
      v->clear();  // each stream then refuses its chunk, and its session ends
  }
  metrics.vad_batch_size.observe(static_cast<double>(fed_.size()));

  // The streaming passes, the sessions shared out among the workers.
  const std::size_t groups = std::min(options.workers, fed_.size());
  for (std::size_t g = 0; g < groups; ++g) {
    auto group = std::make_shared<std::vector<Fed>>();
    for (std::size_t i = g; i < fed_.size(); i += groups) group->push_back(std::move(fed_[i]));
    auto job = [this, group, now] {
      for (Fed& f : *group) {
        const bool due = f.session->feed(f.samples, f.newest_arrival);
        if (due || f.last) {
          post_slow([s = f.session, due, last = f.last, shutdown = f.shutdown, now] {
            if (due) s->finalize(now);
            if (last) return s->finish(shutdown);
            s->end_turn();
          });
        } else {
          f.session->end_turn();
        }
      }
    };
    if (!feed_pool_.post(job)) job();  // cannot happen (pool_room), but never drop a chunk
  }
  fed_.clear();
}

void Server::Impl::tick_loop(std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any sleep;
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.tick_seconds));
  const auto poll_interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.poll_seconds));
  auto next = Clock::now();
  auto next_poll = next;
  while (!stop.stop_requested()) {
    next += interval;
    {
      std::unique_lock lock(mutex);
      sleep.wait_until(lock, stop, next, [] { return false; });
    }
    const auto now = Clock::now();
    if (now > next + interval) next = now;  // fell behind: carry on from now, no burst
    const bool poll = now >= next_poll;
    if (poll) next_poll = now + poll_interval;
    tick(now, poll);
  }
}

bool Server::Impl::run() {
  if (options.handle_signals) {
    signals_.add(SIGINT);
    signals_.add(SIGTERM);
    signals_.async_wait([this](boost::system::error_code ec, int) {
      if (!ec) drain();
    });
  }
  accept();
  tick_thread_ = std::jthread([this](std::stop_token stop) { tick_loop(stop); });
  std::vector<std::jthread> threads;
  for (std::size_t i = 1; i < options.io_threads; ++i) threads.emplace_back([this] { ioc.run(); });
  ioc.run();
  threads.clear();  // joined
  tick_thread_ = {};
  return !cut_off_;
}

void Server::Impl::drain() {
  asio::post(ioc, [this] {
    if (draining.exchange(true)) return;
    metrics.draining = true;
    quern_log::logger.info("draining: finishing the open sessions");
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    if (options.handle_signals) {
      // A second signal stops at once.
      signals_.async_wait([this](boost::system::error_code ec, int) {
        if (ec) return;
        cut_off_ = true;
        ioc.stop();
      });
    }
    drain_deadline_.expires_after(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.drain_seconds)));
    drain_deadline_.async_wait([this](boost::system::error_code ec) {
      if (ec) return;
      quern_log::logger.warning("drain deadline reached: closing the sessions still open");
      cut_off_ = true;
      ioc.stop();
    });
    std::vector<std::shared_ptr<Connection>> open;
    {
      utils::MutexLock lock(registry_mutex_);
      open = connections_;
    }
    for (auto& c : open) c->drain();
    end_if_drained();
  });
}

void Server::Impl::end_if_drained() {
  if (!draining) return;
  {
    utils::MutexLock lock(registry_mutex_);
    if (!connections_.empty()) return;
  }
  asio::post(ioc, [this] {
    drain_deadline_.cancel();
    ioc.stop();
  });
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Server::~Server() = default;

std::uint16_t Server::port() const { return impl_->port(); }

bool Server::run() { return impl_->run(); }
void Server::drain() { impl_->drain(); }
Metrics& Server::metrics() { return impl_->metrics; }

}  // namespace server
