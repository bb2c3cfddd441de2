// The server's insides, shared by its files: the I/O context, the registries of connections and
// sessions, the pools and the tick. Not installed.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "server/server.h"
#include "server/worker_pool.h"
#include "utils/thread_annotations.h"

namespace server {

class Connection;

// One accepted socket, counted while it lives (moved from the HTTP exchange to the WebSocket).
class SocketSlot {
 public:
  explicit SocketSlot(std::atomic<std::size_t>& count) : count_(&count) { ++*count_; }
  SocketSlot(SocketSlot&& other) noexcept : count_(std::exchange(other.count_, nullptr)) {}
  SocketSlot& operator=(SocketSlot&&) = delete;
  ~SocketSlot() {
    if (count_) --*count_;
  }

 private:
  std::atomic<std::size_t>* count_;
};

class Server::Impl {
 public:
  explicit Impl(ServerOptions options);
  ~Impl();

  bool run();
  void drain();

  const ServerOptions options;
  // Before the I/O context: handlers it destroys last still count down these.
  Metrics metrics;
  std::atomic<bool> draining{false};
  std::atomic<std::size_t> sockets{0};      // accepted sockets, HTTP and WebSocket
  std::atomic<std::size_t> connections{0};  // WebSocket sessions, counted at the upgrade
  boost::asio::io_context ioc;

  // Whether a WebSocket may open now; counts it when so. Balanced by release_connection().
  bool admit_connection();
  void add_connection(const std::shared_ptr<Connection>& c) QUERN_EXCLUDES(registry_mutex_);
  void remove_connection(const Connection* c) QUERN_EXCLUDES(registry_mutex_);
  // A configured session joins the tick (its first turn, the loading, runs on the pool).
  void add_session(const std::shared_ptr<Session>& s) QUERN_EXCLUDES(registry_mutex_);
  void remove_session(const Session* s) QUERN_EXCLUDES(registry_mutex_);
  // Engine loading and finalisation (false: the pool is full, which the session bound prevents).
  bool post_slow(std::function<void()> job) { return finalize_pool_.post(std::move(job)); }
  std::uint64_t next_session_id() { return ++last_session_id_; }
  std::uint16_t port() const { return port_; }

 private:
  void accept();
  void tick(Clock::time_point now, bool poll);
  void tick_loop(std::stop_token stop);
  void end_if_drained() QUERN_EXCLUDES(registry_mutex_);

  boost::asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer drain_deadline_;
  std::atomic<std::uint64_t> last_session_id_{0};
  std::atomic<bool> cut_off_{false};

  utils::Mutex registry_mutex_;
  std::vector<std::shared_ptr<Connection>> connections_ QUERN_GUARDED_BY(registry_mutex_);
  std::vector<std::shared_ptr<Session>> sessions_ QUERN_GUARDED_BY(registry_mutex_);

  // The tick's own storage, reused every tick (the tick thread only).
  struct Fed {
    std::shared_ptr<Session> session;
    std::size_t samples;  // in the chunk, at 16 kHz
    Clock::time_point newest_arrival;
    bool last;      // the input ended after this chunk
    bool shutdown;  // ... because the server drains
  };
  std::vector<std::shared_ptr<Session>> snapshot_;
  std::vector<Fed> fed_;
  std::vector<utils::vad::VADDetector*> detectors_;
  std::vector<utils::AudioSamples> frames_;
  std::vector<std::vector<std::pair<bool, bool>>*> verdicts_;

  WorkerPool finalize_pool_;  // before the feed pool: its jobs post here until they are done
  WorkerPool feed_pool_;
  std::jthread tick_thread_;  // last: stopped before the pools and registries go
};

}  // namespace server
