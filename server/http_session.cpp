// The HTTP side of the port: small GET requests only (headers and bodies bounded), keep-alive,
// and the hand-over to the WebSocket.
#include "server/http_session.h"

#include <boost/asio/dispatch.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "server/connection.h"
#include "server/web_assets.h"

namespace server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response text_response(const Request& request, http::status status, std::string_view type,
                       std::string body) {
  Response response(status, request.version());
  response.set(http::field::server, "quern");
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

}  // namespace

HttpSession::HttpSession(asio::ip::tcp::socket socket, SocketSlot slot, Server::Impl& server)
    : stream_(std::move(socket)), slot_(std::move(slot)), server_(server) {}

void HttpSession::run() {
  asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->read(); });
}

void HttpSession::read() {
  parser_.emplace();
  parser_->header_limit(8 * 1024);
  parser_->body_limit(4 * 1024);
  // A socket that sends nothing (or too slowly) is closed: it holds a file descriptor.
  stream_.expires_after(std::chrono::seconds(10));
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
}

void HttpSession::on_read(beast::error_code ec) {
  if (ec) {
    beast::error_code ignored;
    stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    return;
  }
  Request request = parser_->release();
  // Routed by path: a query (a token, a cache buster) does not change the resource.
  std::string_view target = request.target();
  target = target.substr(0, target.find('?'));
  if (beast::websocket::is_upgrade(request)) {
    if (target != "/v1/stream") {
      return respond(text_response(request, http::status::not_found, "text/plain",
                                   "no WebSocket at this path: use /v1/stream\n"));
    }
    return upgrade(std::move(request));
  }
  if (request.method() != http::verb::get) {
    auto response = text_response(request, http::status::method_not_allowed, "text/plain",
                                  "only GET is served\n");
    response.set(http::field::allow, "GET");
    return respond(std::move(response));
  }
  if (target == "/healthz") {
    const bool draining = server_.draining;
    return respond(text_response(request,
                                 draining ? http::status::service_unavailable : http::status::ok,
                                 "text/plain", draining ? "draining\n" : "ready\n"));
  }
  if (target == "/metrics") {
    return respond(text_response(request, http::status::ok, "text/plain; version=0.0.4",
                                 server_.metrics.render()));
  }
  if (target == "/" || target == "/index.html") {
    return respond(text_response(request, http::status::ok, "text/html; charset=utf-8",
                                 std::string(web::index_html)));
  }
  if (target == "/pcm-worklet.js") {
    return respond(text_response(request, http::status::ok, "text/javascript",
                                 std::string(web::pcm_worklet_js)));
  }
  if (target == "/v1/stream") {
    return respond(text_response(request, http::status::upgrade_required, "text/plain",
                                 "/v1/stream is a WebSocket: ask for the upgrade\n"));
  }
  respond(text_response(request, http::status::not_found, "text/plain", "not found\n"));
}

void HttpSession::respond(Response response) {
  auto shared = std::make_shared<Response>(std::move(response));
  http::async_write(
      stream_, *shared, [self = shared_from_this(), shared](beast::error_code ec, std::size_t) {
        if (ec) return;
        if (!shared->keep_alive()) {
          beast::error_code ignored;
          self->stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
          return;
        }
        self->read();
      });
}

void HttpSession::upgrade(Request request) {
  if (buffer_.size() != 0) {
    // Bytes behind the request were sent before the answer (a client must wait for it): they
    // would be lost to the WebSocket, so the upgrade is refused rather than starting short.
    auto response = text_response(request, http::status::bad_request, "text/plain",
                                  "data sent before the upgrade was answered\n");
    response.keep_alive(false);
    return respond(std::move(response));
  }
  if (server_.draining) {
    return respond(text_response(request, http::status::service_unavailable, "text/plain",
                                 "draining: no new sessions\n"));
  }
  if (!server_.admit_connection()) {
    server_.metrics.error(ErrorKind::capacity);
    auto response = text_response(request, http::status::service_unavailable, "text/plain",
                                  "too many sessions\n");
    response.set(http::field::retry_after, "1");
    return respond(std::move(response));
  }
  auto connection = std::make_shared<Connection>(Connection::Stream(std::move(stream_)),
                                                 std::move(slot_), server_);
  connection->start(std::move(request));
}

}  // namespace server
