// HttpSession: one accepted socket's HTTP exchanges — the page, health, metrics — until it asks
// for the WebSocket upgrade at /v1/stream, when it hands the socket to a Connection. Not
// installed.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <memory>
#include <optional>

#include "server/server_impl.h"

namespace server {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket socket, SocketSlot slot, Server::Impl& server);
  void run();

 private:
  void read();
  void on_read(boost::beast::error_code ec);
  void respond(boost::beast::http::response<boost::beast::http::string_body> response);
  void upgrade(boost::beast::http::request<boost::beast::http::string_body> request);

  boost::beast::tcp_stream stream_;
  SocketSlot slot_;
  Server::Impl& server_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
};

}  // namespace server
