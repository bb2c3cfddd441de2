// Test helpers: read a mono 16-bit PCM WAV file, and the ONNX Runtime reference probabilities
// that scripts/make_fixtures.sh writes beside the fixtures.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quern_test {

struct Wav {
  int sample_rate = 0;
  std::vector<float> samples;  // in [-1, 1)
};

inline Wav read_wav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  auto u16 = [&](std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, bytes.data() + at, 2);
    return v;
  };
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0) {
    throw std::runtime_error(path + ": not a WAV file");
  }
  Wav wav;
  int channels = 0, bits = 0;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id(bytes.data() + at, 4);
    const std::size_t size = u32(at + 4), body = at + 8;
    if (id == "fmt ") {
      channels = u16(body + 2);
      wav.sample_rate = static_cast<int>(u32(body + 4));
      bits = u16(body + 14);
    } else if (id == "data") {
      if (channels != 1 || bits != 16) throw std::runtime_error(path + ": not mono 16-bit");
      const std::size_t n = std::min(size, bytes.size() - body) / 2;
      wav.samples.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        std::int16_t s;
        std::memcpy(&s, bytes.data() + body + 2 * i, 2);
        wav.samples[i] = static_cast<float>(s) / 32768.0f;
      }
    }
    at = body + size + (size & 1);
  }
  return wav;
}

inline std::vector<double> read_numbers(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<double> out;
  double v;
  while (in >> v) out.push_back(v);
  return out;
}

}  // namespace quern_test
