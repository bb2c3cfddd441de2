// The blocking client: every operation runs as an asynchronous one on the client's own I/O
// context, bounded by a timer, so that no call can hang.
#include "client/client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>

namespace client {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

std::chrono::steady_clock::duration span_of(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

// Runs the context until `done` or the timeout; on the timeout, `cancel()` and the error.
template <class Cancel>
void run_until(asio::io_context& ioc, const bool& done, double timeout, Cancel cancel,
               const char* what) {
  ioc.restart();
  ioc.run_for(span_of(timeout));
  if (!done) {
    cancel();
    ioc.restart();
    ioc.run();
    throw std::runtime_error(std::string(what) + ": no answer within the timeout");
  }
}

}  // namespace

class StreamClient::Impl {
 public:
  asio::io_context ioc;
  websocket::stream<beast::tcp_stream> ws{ioc};
  beast::flat_buffer buffer;

  void cancel() {
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().cancel(ignored);
  }
};

StreamClient::StreamClient(const std::string& host, std::uint16_t port, const std::string& target,
                           double timeout)
    : impl_(std::make_unique<Impl>()) {
  auto& ws = impl_->ws;
  tcp::resolver resolver(impl_->ioc);
  const auto endpoints = resolver.resolve(host, std::to_string(port));
  bool done = false;
  beast::error_code error;
  websocket::response_type response;
  beast::get_lowest_layer(ws).async_connect(endpoints, [&](beast::error_code ec, auto) {
    if (ec) {
      error = ec;
      done = true;
      return;
    }
    ws.async_handshake(response, host + ":" + std::to_string(port), target,
                       [&](beast::error_code ec2) {
                         error = ec2;
                         done = true;
                       });
  });
  run_until(
      impl_->ioc, done, timeout, [&] { impl_->cancel(); }, "connecting");
  if (error == websocket::error::upgrade_declined) {
    throw UpgradeRefused(static_cast<int>(response.result_int()), response.body());
  }
  if (error) throw std::runtime_error("cannot connect to " + host + ": " + error.message());
}

StreamClient::~StreamClient() = default;

void StreamClient::send_text(std::string_view text) {
  impl_->ws.text(true);
  impl_->ws.write(asio::buffer(text.data(), text.size()));
}

void StreamClient::send_binary(std::span<const std::byte> bytes) {
  impl_->ws.binary(true);
  impl_->ws.write(asio::buffer(bytes.data(), bytes.size()));
}

std::optional<nlohmann::json> StreamClient::receive(double timeout) {
  if (close_code_) return std::nullopt;
  bool done = false;
  beast::error_code error;
  impl_->buffer.clear();
  impl_->ws.async_read(impl_->buffer, [&](beast::error_code ec, std::size_t) {
    error = ec;
    done = true;
  });
  run_until(
      impl_->ioc, done, timeout, [&] { impl_->cancel(); }, "receiving");
  if (error) {
    close_code_ = error == websocket::error::closed ? impl_->ws.reason().code : 1006;
    close_reason_ =
        error == websocket::error::closed
            ? std::string(impl_->ws.reason().reason.data(), impl_->ws.reason().reason.size())
            : error.message();
    return std::nullopt;
  }
  return nlohmann::json::parse(beast::buffers_to_string(impl_->buffer.cdata()));
}

void StreamClient::close(double timeout) {
  if (close_code_) return;
  bool done = false;
  impl_->ws.async_close(websocket::close_code::normal, [&](beast::error_code) { done = true; });
  try {
    run_until(
        impl_->ioc, done, timeout, [&] { impl_->cancel(); }, "closing");
  } catch (const std::runtime_error&) {
  }
  close_code_ = 1000;
}

void StreamClient::disconnect(bool reset) {
  auto& socket = beast::get_lowest_layer(impl_->ws).socket();
  beast::error_code ignored;
  if (reset) socket.set_option(asio::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
  if (!close_code_) close_code_ = 1006;
}

HttpReply http_get(const std::string& host, std::uint16_t port, const std::string& target,
                   double timeout) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  tcp::resolver resolver(ioc);
  stream.expires_after(span_of(timeout));  // bounds each of the steps below
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, host);
  request.keep_alive(false);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  beast::error_code error;
  stream.async_connect(
      resolver.resolve(host, std::to_string(port)), [&](beast::error_code ec, auto) {
        if (ec) {
          error = ec;
          return;
        }
        http::async_write(stream, request, [&](beast::error_code ec2, std::size_t) {
          if (ec2) {
            error = ec2;
            return;
          }
          http::async_read(stream, buffer, response,
                           [&](beast::error_code ec3, std::size_t) { error = ec3; });
        });
      });
  ioc.run();
  if (error) throw std::runtime_error("GET " + target + ": " + error.message());
  return {static_cast<int>(response.result_int()), std::move(response.body())};
}

std::optional<double> metric_value(std::string_view exposition, std::string_view name) {
  std::size_t at = 0;
  while (at < exposition.size()) {
    std::size_t end = exposition.find('\n', at);
    if (end == std::string_view::npos) end = exposition.size();
    const std::string_view line = exposition.substr(at, end - at);
    if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ' ') {
      return std::stod(std::string(line.substr(name.size() + 1)));
    }
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace client
