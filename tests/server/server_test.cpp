// quern serve over loopback with the stand-in engines: the protocol end to end, each fault a
// client can commit answered with an error and the fitting close, the session limit, and the
// drain.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "server/client.h"
#include "server/server.h"
#include "tests/support/paths.h"
#include "tests/support/wav.h"

namespace {

using nlohmann::json;
using server::StreamClient;

// A server on a free loopback port, run on a thread of its own until destroyed (then drained).
class TestServer {
 public:
  explicit TestServer(server::ServerOptions options = {}) : server_(with_test_settings(options)) {
    thread_ = std::jthread([this] { clean_ = server_.run(); });
  }
  ~TestServer() {
    if (!thread_.joinable()) return;
    server_.drain();
    thread_.join();
  }
  std::uint16_t port() const { return server_.port(); }
  server::Server& server() { return server_; }
  bool drained_cleanly() {
    thread_.join();
    return clean_;
  }

 private:
  static server::ServerOptions with_test_settings(server::ServerOptions o) {
    o.port = 0;
    o.handle_signals = false;
    o.tick_seconds = 0.005;
    return o;
  }
  server::Server server_;
  bool clean_ = false;
  std::jthread thread_;
};

std::vector<std::int16_t> pcm_of(const std::vector<float>& samples) {
  std::vector<std::int16_t> pcm(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(std::lround(samples[i] * 32767.0f));
  }
  return pcm;
}

// Every message until the server closes.
std::vector<json> drain_messages(StreamClient& client) {
  std::vector<json> messages;
  while (auto m = client.receive()) messages.push_back(std::move(*m));
  return messages;
}

// The stand-in offline engine names the samples it was given: "[stand-in ...: N samples, ...]".
long samples_in(const std::string& text) {
  const auto at = text.find(": ");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + 2));
}

TEST(Serve, EveryUtteranceOfRealSpeechGetsOneFinalInOrderAndNoAudioIsLost) {
  TestServer service;
  StreamClient client("127.0.0.1", service.port());
  client.send_config({{"sample_rate", 16000}, {"format", "s16le"}});
  const auto ready = client.receive();
  ASSERT_TRUE(ready);
  EXPECT_EQ((*ready)["type"], "ready");
  EXPECT_EQ((*ready)["protocol"], "quern-stream/1");

  const auto wav = quern_test::read_wav(quern_test::fixture("sample.wav"));
  ASSERT_EQ(wav.sample_rate, 16000);
  const auto pcm = pcm_of(wav.samples);
  for (std::size_t at = 0; at < pcm.size(); at += 1600) {
    client.send_pcm(std::span(pcm).subspan(at, std::min<std::size_t>(1600, pcm.size() - at)));
  }
  client.send_end();
  const auto messages = drain_messages(client);
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
  // Three spoken sentences, each ended by the detector, and what followed the last one.
  EXPECT_EQ(finalised, static_cast<long>(pcm.size()));
  ASSERT_GE(reasons.size(), 3u);
  EXPECT_EQ(reasons[0], "speech_ended");
  EXPECT_EQ(reasons[1], "speech_ended");
  EXPECT_EQ(reasons[2], "speech_ended");
  EXPECT_EQ(reasons.back(), reasons.size() > 3 ? "end_of_stream" : "speech_ended");
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
  for (std::size_t at = 0; at < tone.size(); at += 4800) {
    client.send_binary(std::as_bytes(std::span(tone).subspan(at, 4800)));
  }
  client.send_end();
  const auto messages = drain_messages(client);
  EXPECT_EQ(client.close_code(), 1000);
  ASSERT_FALSE(messages.empty());
  const auto& last = messages.back();
  ASSERT_EQ(last["type"], "final");
  EXPECT_EQ(last["reason"], "end_of_stream");
  // One second at 48 kHz is one second at 16 kHz, give or take the resampler's edges.
  EXPECT_NEAR(static_cast<double>(samples_in(last["text"])), 16000, 32);
}

TEST(Serve, EachClientFaultIsAnsweredWithAnErrorAndTheFittingClose) {
  server::ServerOptions options;
  options.max_message_bytes = 4096;
  TestServer service(options);
  const std::string config = R"({"sample_rate":16000})";
  const std::string big(5000, 'x');
  struct Case {
    std::string name;
    std::vector<std::pair<bool, std::string>> messages;  // (binary, payload)
    int code;
    std::string says;
  } cases[] = {
      {"not JSON", {{false, "{sample_rate:"}}, 1007, "not valid JSON"},
      {"not an object", {{false, "[1,2]"}}, 1007, "must be a JSON object"},
      {"rate out of range", {{false, R"({"sample_rate":22050})"}}, 1008, "sample_rate must be"},
      {"unknown field", {{false, R"({"sample_rte":16000})"}}, 1008, "unknown field sample_rte"},
      {"threshold out of range", {{false, R"({"vad":{"threshold":1.5}})"}}, 1008, "vad.threshold"},
      {"audio before the config", {{true, "\x01\x02"}}, 1008, "audio before the config"},
      {"odd byte count", {{false, config}, {true, "\x01\x02\x03"}}, 1007, "whole number of s16le"},
      {"text that is not JSON", {{false, config}, {false, "hello"}}, 1007, "not valid JSON"},
      {"a second config", {{false, config}, {false, config}}, 1008, "already given"},
      {"oversized message", {{false, config}, {true, big}}, 1009, "at most 4096 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StreamClient client("127.0.0.1", service.port());
    for (const auto& [binary, payload] : c.messages) {
      if (binary) {
        client.send_binary(std::as_bytes(std::span(payload.data(), payload.size())));
      } else {
        client.send_text(payload);
      }
    }
    std::optional<json> error;
    while (auto m = client.receive()) {
      if ((*m)["type"] == "error") error = *m;
    }
    ASSERT_TRUE(error);
    EXPECT_NE((*error)["message"].get<std::string>().find(c.says), std::string::npos) << *error;
    EXPECT_EQ(client.close_code(), c.code);
  }
  // The server goes on serving.
  StreamClient client("127.0.0.1", service.port());
  client.send_text(config);
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
  } catch (const server::UpgradeRefused& e) {
    EXPECT_EQ(e.status, 503);
  }
  const auto health = server::http_get("127.0.0.1", service.port(), "/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ready\n");
  const auto metrics = server::http_get("127.0.0.1", service.port(), "/metrics");
  EXPECT_EQ(server::metric_value(metrics.body, "quern_sessions_open"), 2);
  EXPECT_EQ(server::metric_value(metrics.body, "quern_errors_total{kind=\"capacity\"}"), 1);
  EXPECT_EQ(server::http_get("127.0.0.1", service.port(), "/").status, 200);
  EXPECT_EQ(server::http_get("127.0.0.1", service.port(), "/nowhere").status, 404);
}

TEST(Serve, ADrainFinalisesTheOpenUtteranceAndClosesWithGoingAway) {
  TestServer service;
  StreamClient client("127.0.0.1", service.port());
  client.send_config({{"sample_rate", 16000}});
  ASSERT_EQ((*client.receive())["type"], "ready");
  const auto wav = quern_test::read_wav(quern_test::fixture("sample.wav"));
  const auto pcm = pcm_of(wav.samples);
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
  const auto messages = drain_messages(client);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["type"], "final");
  EXPECT_EQ(messages[0]["reason"], "shutdown");
  EXPECT_EQ(samples_in(messages[0]["text"]), 16000);
  EXPECT_EQ(client.close_code(), 1001);
  EXPECT_TRUE(service.drained_cleanly());
}

}  // namespace
