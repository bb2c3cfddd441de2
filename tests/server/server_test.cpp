// quern serve over loopback with the stand-in engines: the protocol end to end, each fault a
// client can commit answered with an error and the fitting close, the session limit, and the
// drain.
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cmath>
#include <cstring>
#include <thread>

#include "testing/stand_ins/stand_in.h"
#include "tests/support/test_server.h"

namespace {

using client::StreamClient;
using nlohmann::json;
using quern_test::all_messages;
using quern_test::TestServer;

// The stand-in offline engine names the samples it was given: "[stand-in ...: N samples, ...]".
long samples_in(const std::string& text) {
  const auto at = text.find(": ");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + 2));
}

TEST(Serve, EveryUtteranceOfRealSpeechGetsOneFinalInOrderAndNoAudioIsLost) {
  TestServer service;
  stand_in::clear_journal();
  StreamClient client("127.0.0.1", service.port());
  client.send_config({{"sample_rate", 16000}, {"format", "s16le"}, {"hotwords", "quern dualis"}});
  const auto ready = client.receive();
  ASSERT_TRUE(ready);
  EXPECT_EQ((*ready)["type"], "ready");
  EXPECT_EQ((*ready)["protocol"], "quern-stream/1");

  const auto pcm = quern_test::sample_pcm();
  for (std::size_t at = 0; at < pcm.size(); at += 1600) {
    client.send_pcm(std::span(pcm).subspan(at, std::min<std::size_t>(1600, pcm.size() - at)));
  }
  client.send_end();
  const auto messages = all_messages(client);
  EXPECT_EQ(client.close_code(), 1000);

  std::int64_t segment = 0;
  double last_time = 0, utterance_start = 0;
  long finalised = 0;
  std::vector<std::string> reasons;
  for (const auto& m : messages) {
    if (m["type"] == "partial") {
      EXPECT_EQ(m["segment"], segment) << m;
      EXPECT_GT(m["time"].get<double>(), last_time);
      last_time = m["time"];
    } else {
      ASSERT_EQ(m["type"], "final") << m;
      EXPECT_EQ(m["segment"], segment) << m;
      EXPECT_DOUBLE_EQ(m["start"], utterance_start);
      EXPECT_DOUBLE_EQ(m["end"], last_time);
      const long n = samples_in(m["text"]);
      EXPECT_NEAR(static_cast<double>(n) / 16000, m["end"].get<double>() - m["start"].get<double>(),
                  0.001);
      finalised += n;
      reasons.push_back(m["reason"]);
      utterance_start = m["end"];
      ++segment;
    }
  }
  // Three spoken sentences, each ended by the detector; the silence after the last one (less
  // than the detector's padding and silence, and no speech) gets no final.
  EXPECT_EQ(reasons, std::vector<std::string>(3, "speech_ended"));
  EXPECT_LE(finalised, static_cast<long>(pcm.size()));
  EXPECT_DOUBLE_EQ(last_time, std::round(pcm.size() / 16.0) / 1000) << "every sample was fed";
  // The client's hotwords reached the offline pass of every utterance, not only the first.
  std::string hotwords;
  int passes = 0;
  for (const auto& call : stand_in::journal_of("ParaformerOfflineASR")) {
    if (call.op == "hotwords") hotwords = call.arg("hotwords");
    if (call.op == "transcribe") {
      EXPECT_EQ(hotwords, "['quern', 'dualis']");
      ++passes;
    }
  }
  EXPECT_EQ(passes, 3);
}

TEST(Serve, OtherRatesAndFloatSamplesAreResampledAndCleaned) {
  TestServer service;
  StreamClient client("127.0.0.1", service.port());
  client.send_config({{"sample_rate", 48000}, {"format", "f32le"}, {"language", "en"}});
  ASSERT_EQ((*client.receive())["type"], "ready");
  std::vector<float> tone(48000);
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(0.05f * i);
  tone[10] = NAN;
  tone[20] = INFINITY;
  client.send_binary({});  // an empty message is no audio
  for (std::size_t at = 0; at < tone.size(); at += 4800) {
    client.send_binary(std::as_bytes(std::span(tone).subspan(at, 4800)));
  }
  client.send_end();
  const auto messages = all_messages(client);
  EXPECT_EQ(client.close_code(), 1000);
  ASSERT_FALSE(messages.empty());
  // A tone is no speech to the detector: no final, and the stream still ends normally.
  const auto& last = messages.back();
  ASSERT_EQ(last["type"], "partial");
  // One second at 48 kHz is one second at 16 kHz, give or take the resampler's edges.
  EXPECT_NEAR(last["time"].get<double>(), 1.0, 0.002);
}

TEST(Serve, EachClientFaultIsAnsweredWithAnErrorAndTheFittingClose) {
  server::ServerOptions options;
  options.max_message_bytes = quern_test::kFaultMessageLimit;
  TestServer service(options);
  for (const auto& c : quern_test::protocol_faults()) {
    SCOPED_TRACE(c.name);
    quern_test::expect_answer(service.port(), c);
  }
  // The server goes on serving.
  StreamClient client("127.0.0.1", service.port());
  client.send_config({{"sample_rate", 16000}});
  EXPECT_EQ((*client.receive())["type"], "ready");
}

TEST(Serve, SessionsBeyondTheLimitAreRefusedWith503AndHealthAndMetricsAnswer) {
  server::ServerOptions options;
  options.max_sessions = 2;
  TestServer service(options);
  StreamClient a("127.0.0.1", service.port()), b("127.0.0.1", service.port());
  try {
    StreamClient c("127.0.0.1", service.port());
    FAIL() << "a third session was let in";
  } catch (const client::UpgradeRefused& e) {
    EXPECT_EQ(e.status, 503);
  }
  const auto health = client::http_get("127.0.0.1", service.port(), "/healthz?from=balancer");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ready\n");
  const auto metrics = client::http_get("127.0.0.1", service.port(), "/metrics");
  EXPECT_EQ(client::metric_value(metrics.body, "quern_sessions_open"), 2);
  EXPECT_EQ(client::metric_value(metrics.body, "quern_errors_total{kind=\"capacity\"}"), 1);
  EXPECT_EQ(client::http_get("127.0.0.1", service.port(), "/").status, 200);
  EXPECT_EQ(client::http_get("127.0.0.1", service.port(), "/nowhere").status, 404);
}

TEST(Serve, AnUpgradeWithDataSentBehindItIsRefusedNotCutShort) {
  TestServer service;
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), service.port()});
  // The config as a masked text frame (a zero mask leaves the payload as it is), sent at once.
  const std::string config = R"({"sample_rate":16000})";
  const std::string bytes =
      "GET /v1/stream?token=t HTTP/1.1\r\nHost: q\r\nUpgrade: websocket\r\n"
      "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
      "Sec-WebSocket-Version: 13\r\n\r\n\x81" +
      std::string(1, static_cast<char>(0x80 | config.size())) + std::string(4, '\0') + config;
  boost::asio::write(socket, boost::asio::buffer(bytes));
  std::string answer;
  boost::system::error_code ec;
  boost::asio::read(socket, boost::asio::dynamic_buffer(answer), ec);  // to the server's close
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(answer.find("data sent before the upgrade was answered"), std::string::npos);
}

TEST(Serve, ADrainFinalisesTheOpenUtteranceAndClosesWithGoingAway) {
  TestServer service;
  StreamClient client("127.0.0.1", service.port());
  client.send_config({{"sample_rate", 16000}});
  ASSERT_EQ((*client.receive())["type"], "ready");
  const auto pcm = quern_test::sample_pcm();
  // One second into the first sentence: the utterance is open.
  client.send_pcm(std::span(pcm).subspan(0, 16000));
  double fed = 0;
  while (fed < 1.0) {
    const auto m = client.receive();
    ASSERT_TRUE(m);
    ASSERT_EQ((*m)["type"], "partial");
    fed = (*m)["time"];
  }
  service.server().drain();
  const auto messages = all_messages(client);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["type"], "final");
  EXPECT_EQ(messages[0]["reason"], "shutdown");
  EXPECT_EQ(samples_in(messages[0]["text"]), 16000);
  EXPECT_EQ(client.close_code(), 1001);
  EXPECT_TRUE(service.drained_cleanly());
}

}  // namespace
