// The fault matrix: each fault a client (or an engine) can bring to quern serve, on loopback,
// while a witness load of well-behaved real-time streams runs beside it. Each case checks the
// server's answer, and every case checks that the witness streams lost no final and saw no error,
// and that the server ends with no session open and no file descriptor more than it began with.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <filesystem>
#include <future>

#include "client/load_test.h"
#include "testing/stand_ins/stand_in.h"
#include "tests/support/test_server.h"

namespace {

using client::StreamClient;
using nlohmann::json;
using quern_test::TestServer;
using namespace std::chrono_literals;

std::size_t open_fds() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{}));
}

// Polls `done` every 50 ms for at most `limit`.
template <class Done>
bool eventually(Done done, std::chrono::milliseconds limit = 10s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Both ends of 2,000 connections live in this process.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 16384);
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  void SetUp() override {
    stand_in::set_journal(false);  // thousands of sessions: keep the test's memory flat
    stand_in::clear();
    fds_before_ = open_fds();
    server::ServerOptions o;
    o.max_sessions = 2100;
    o.max_message_bytes = quern_test::kFaultMessageLimit;
    o.max_send_queue = 64;
    o.send_timeout = 2.0;
    o.socket_send_buffer = 8192;
    o.config_timeout = 1.0;
    o.idle_timeout = 2.0;
    service_ = std::make_unique<TestServer>(o);
    pcm_ = quern_test::sample_pcm();
  }

  // Well-behaved streams beside the fault: 6 clients, real time, `seconds` of speech each.
  void start_witness(double seconds = 6) {
    client::LoadTestOptions o;
    o.port = service_->port();
    o.streams = 6;
    o.audio = pcm_;
    o.seconds = seconds;
    witness_ = std::async(std::launch::async, [o] { return client::run_load_test(o); });
  }

  void TearDown() override {
    if (witness_.valid()) {
      const auto report = witness_.get();
      EXPECT_EQ(report["errors"], 0) << report;
      EXPECT_EQ(report["finals_received"], report["finals_expected"]) << report;
      EXPECT_GT(report["finals_received"].get<int>(), 0) << report;
    }
    EXPECT_TRUE(eventually([&] { return service_->metric("quern_sessions_open") == 0; }))
        << "sessions still open: " << service_->metric("quern_sessions_open");
    service_.reset();
    stand_in::clear();
    EXPECT_LE(open_fds(), fds_before_);
  }

  // The first `seconds` of the sample, in messages of 100 ms.
  void send_speech(StreamClient& client, double seconds) {
    const auto n = static_cast<std::size_t>(seconds * 16000);
    for (std::size_t at = 0; at < n; at += 1600) client.send_pcm(std::span(pcm_).subspan(at, 1600));
  }

  // A session that has sent `seconds` of speech and seen the partials for it.
  std::unique_ptr<StreamClient> speaking_client(double seconds) {
    auto client = std::make_unique<StreamClient>("127.0.0.1", service_->port());
    client->send_config({{"sample_rate", 16000}});
    EXPECT_EQ((*client->receive())["type"], "ready");
    const auto n = static_cast<std::size_t>(seconds * 16000);
    for (std::size_t at = 0; at < n; at += 1600)
      client->send_pcm(std::span(pcm_).subspan(at, 1600));
    double fed = 0;
    while (fed < seconds - 0.01) {
      const auto m = client->receive();
      if (!m) break;
      if ((*m)["type"] == "partial") fed = (*m)["time"];
    }
    return client;
  }

  std::unique_ptr<TestServer> service_;
  std::vector<std::int16_t> pcm_;
  std::future<nlohmann::ordered_json> witness_;
  std::size_t fds_before_ = 0;
};

TEST_F(FaultMatrix, AClientThatDisconnectsMidUtteranceIsForgotten) {
  start_witness();
  for (bool reset : {false, true}) {
    auto client = speaking_client(1.0);
    client->disconnect(reset);  // a FIN, then a TCP reset, without a close frame
  }
}

TEST_F(FaultMatrix, AClientThatDisconnectsDuringItsFinalisationIsForgotten) {
  start_witness();
  // The next offline pass takes a second: the client is gone before it returns.
  stand_in::once("ParaformerOfflineASR", "transcribe", {.elapsed = 1.0});
  auto client = speaking_client(2.0);
  client->send_end();
  std::this_thread::sleep_for(200ms);
  client->disconnect(true);
}

TEST_F(FaultMatrix, AClientThatStopsReadingIsDisconnected) {
  start_witness();
  namespace beast = boost::beast;
  boost::asio::io_context ioc;
  beast::websocket::stream<boost::asio::ip::tcp::socket> ws(ioc);
  ws.next_layer().open(boost::asio::ip::tcp::v4());
  ws.next_layer().set_option(boost::asio::socket_base::receive_buffer_size(4096));
  ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), service_->port()});
  ws.handshake("127.0.0.1", "/v1/stream");
  ws.text(true);
  ws.write(boost::asio::buffer(std::string(R"({"sample_rate":16000})")));
  ws.binary(true);
  // Audio as fast as the server takes it, results never read: its partials pile up until the
  // server gives up on this client.
  beast::error_code ec;
  const auto until = std::chrono::steady_clock::now() + 60s;
  for (std::size_t at = 0; !ec && std::chrono::steady_clock::now() < until; at += 1600) {
    ws.write(boost::asio::buffer(pcm_.data() + at % (pcm_.size() - 1600), 3200), ec);
  }
  EXPECT_TRUE(ec) << "the server still reads from a client that does not read";
  EXPECT_GE(service_->metric("quern_errors_total{kind=\"slow_client\"}"), 1);
}

TEST_F(FaultMatrix, AClientSendingTenTimesFasterThanRealTimeGetsEveryFinal) {
  start_witness();
  StreamClient client("127.0.0.1", service_->port());
  client.send_config({{"sample_rate", 16000}});
  for (std::size_t at = 0; at + 1600 <= pcm_.size(); at += 1600) {
    client.send_pcm(std::span(pcm_).subspan(at, 1600));
    std::this_thread::sleep_for(10ms);  // 100 ms of audio every 10 ms
  }
  client.send_end();
  int finals = 0;
  for (const auto& m : quern_test::all_messages(client)) {
    if (m["type"] == "final") {
      EXPECT_EQ(m["segment"], finals++);
    }
  }
  EXPECT_GE(finals, 3);  // the sample's three sentences
  EXPECT_EQ(client.close_code(), 1000);
}

TEST_F(FaultMatrix, ProtocolFaultsAreAnsweredWhileOthersStream) {
  start_witness();
  for (const auto& c : quern_test::protocol_faults()) {
    SCOPED_TRACE(c.name);
    quern_test::expect_answer(service_->port(), c);
  }
}

TEST_F(FaultMatrix, NonFiniteFloatSamplesAreCleaned) {
  start_witness();
  StreamClient client("127.0.0.1", service_->port());
  client.send_config({{"sample_rate", 16000}, {"format", "f32le"}});
  // The first sentence, with NaN and -inf among its samples.
  std::vector<float> audio(pcm_.begin(), pcm_.begin() + 4 * 16000);
  for (auto& v : audio) v /= 32768;
  for (std::size_t i = 0; i < audio.size(); i += 97) audio[i] = (i % 2) ? NAN : -INFINITY;
  for (std::size_t at = 0; at < audio.size(); at += 1000) {
    client.send_binary(std::as_bytes(std::span(audio).subspan(at, 1000)));
  }
  client.send_end();
  const auto messages = quern_test::all_messages(client);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back()["type"], "final");
  EXPECT_EQ(client.close_code(), 1000);
}

TEST_F(FaultMatrix, NoConfigOrNoMessageInTimeIsClosed) {
  start_witness();
  StreamClient silent("127.0.0.1", service_->port());
  EXPECT_EQ((*silent.receive())["type"], "error");
  EXPECT_FALSE(silent.receive());
  EXPECT_EQ(silent.close_code(), 1008);
  auto idle = speaking_client(0.5);
  std::optional<json> error;
  while (auto m = idle->receive()) {
    if ((*m)["type"] == "error") error = *m;
  }
  ASSERT_TRUE(error);
  EXPECT_NE((*error)["message"].get<std::string>().find("idle timeout"), std::string::npos);
  EXPECT_EQ(idle->close_code(), 1008);
}

TEST_F(FaultMatrix, TwoThousandIdleConnectionsAreHeldAndReleased) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 4400) {  // both ends of each connection, and the I/O contexts' own
    GTEST_SKIP() << "needs 4400 open files; this system allows " << limit.rlim_cur;
  }
  start_witness(8);
  client::LoadTestOptions o;
  o.port = service_->port();
  o.streams = 2000;
  o.audio = pcm_;
  o.idle = true;
  o.seconds = 1.5;  // under the idle timeout: each ends normally
  o.connect_rate = 2000;
  const auto report = client::run_load_test(o);
  EXPECT_EQ(report["errors"], 0) << report;
}

TEST_F(FaultMatrix, ConnectionsBeyondTheLimitAreRefusedAndTheLimitFrees) {
  server::ServerOptions o;
  o.max_sessions = 3;
  TestServer small(o);
  std::vector<std::unique_ptr<StreamClient>> held;
  for (int i = 0; i < 3; ++i)
    held.push_back(std::make_unique<StreamClient>("127.0.0.1", small.port()));
  EXPECT_THROW(StreamClient("127.0.0.1", small.port()), client::UpgradeRefused);
  held.pop_back();
  EXPECT_TRUE(eventually([&] {
    try {
      StreamClient again("127.0.0.1", small.port());
      return true;
    } catch (const client::UpgradeRefused&) {
      return false;
    }
  }));
}

TEST_F(FaultMatrix, AnEngineThatThrowsInFinalizeCostsOnlyThatUtterancesText) {
  stand_in::once("ParaformerOfflineASR", "transcribe", {.error = "scripted failure"});
  StreamClient client("127.0.0.1", service_->port());
  client.send_config({{"sample_rate", 16000}});
  send_speech(client, 10.0);  // the first sentence, a pause, the second
  client.send_end();
  std::vector<json> finals;
  for (const auto& m : quern_test::all_messages(client)) {
    if (m["type"] == "final") finals.push_back(m);
  }
  ASSERT_GE(finals.size(), 2u);
  EXPECT_EQ(finals[0]["text"], "");
  EXPECT_EQ(finals[0]["error"], "recognition failed: scripted failure");
  EXPECT_FALSE(finals[1].contains("error"));
  EXPECT_NE(finals[1]["text"], "");
  EXPECT_EQ(client.close_code(), 1000);
  start_witness();  // and the server serves on
}

TEST_F(FaultMatrix, AnEngineThatTakesTenSecondsHoldsUpOnlyItsOwnSession) {
  stand_in::once("ParaformerOfflineASR", "transcribe", {.elapsed = 10.0});
  StreamClient slow("127.0.0.1", service_->port());
  slow.send_config({{"sample_rate", 16000}});
  send_speech(slow, 5.0);
  slow.send_end();
  std::this_thread::sleep_for(500ms);  // its finalisation has begun
  const auto started = std::chrono::steady_clock::now();
  start_witness(6);  // finishes, finals and all, while the slow pass runs
  const auto report = witness_.get();
  EXPECT_EQ(report["errors"], 0) << report;
  EXPECT_EQ(report["finals_received"], report["finals_expected"]) << report;
  EXPECT_LT(std::chrono::steady_clock::now() - started, 9.5s);
  const auto messages = quern_test::all_messages(slow);
  EXPECT_TRUE(std::any_of(messages.begin(), messages.end(),
                          [](const json& m) { return m["type"] == "final"; }));
  EXPECT_EQ(slow.close_code(), 1000);
}

}  // namespace
