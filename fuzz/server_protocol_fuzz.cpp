// Fuzz target: everything quern serve parses from a client, in the order a connection meets it —
// a config, then audio messages and control messages in any mix, in any format and rate the
// config allows. Each step either succeeds or raises ProtocolError with a close code the protocol
// names; decoded samples are finite, within [-1, 1], and as many as the input's length promises.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "server/audio_decoder.h"
#include "server/stream_config.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void check_code(const server::ProtocolError& e) {
  const auto code = static_cast<int>(e.code());
  check(code == 1007 || code == 1008);
  check(std::string(e.what()).size() <= 200);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  server::StreamConfig config;
  try {
    config = server::parse_stream_config(in.ConsumeRandomLengthString(512), {});
  } catch (const server::ProtocolError& e) {
    check_code(e);
    // A valid config after all, to reach the rest.
    config.sample_rate = in.PickValueInArray({8000, 16000, 44100, 48000});
    config.format = in.ConsumeBool() ? server::SampleFormat::s16le : server::SampleFormat::f32le;
  }
  server::AudioDecoder decoder(config.format, config.sample_rate);
  std::vector<float> out;
  std::size_t promised = 0;  // input samples so far
  while (in.remaining_bytes() > 0) {
    if (in.ConsumeBool()) {
      try {
        server::parse_control(in.ConsumeRandomLengthString(256));
      } catch (const server::ProtocolError& e) {
        check_code(e);
      }
      continue;
    }
    const auto bytes = in.ConsumeBytes<std::byte>(in.ConsumeIntegralInRange<std::size_t>(0, 4096));
    try {
      decoder.decode(bytes, out);
      promised += bytes.size() / (config.format == server::SampleFormat::s16le ? 2 : 4);
    } catch (const server::ProtocolError& e) {
      check(e.code() == server::CloseCode::invalid_payload);
    }
  }
  decoder.flush(out);
  for (float v : out) check(std::isfinite(v) && v >= -1.0f && v <= 1.0f);
  // The resampler neither invents nor loses more than its filter's length.
  const double expected = static_cast<double>(promised) * 16000 / config.sample_rate;
  check(std::abs(static_cast<double>(out.size()) - expected) <= 64);
  return 0;
}
