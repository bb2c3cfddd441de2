// The weights file: magic, entries (float32 tensors and integers by name), CRC-32 of the rest.
#include "utils/vad/weights_file.h"

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <vector>

#include "utils/vad/direct_model.h"

namespace utils::vad::detail {

namespace {

constexpr char kMagic[8] = {'Q', 'V', 'A', 'D', 'W', 'T', 'S', '1'};

struct Entry {
  std::vector<std::uint32_t> sizes;  // a tensor's; empty for an integer
  std::vector<float> values;
  std::int64_t integer = 0;
};

// Little-endian reads that never pass the end of the entries.
class Reader {
 public:
  Reader(const std::vector<char>& bytes, std::size_t end) : bytes_(bytes), end_(end) {}
  template <class T>
  T number() {
    T v;
    std::memcpy(&v, take(sizeof(T)), sizeof(T));  // x86-64 and every target here: little-endian
    return v;
  }
  const char* take(std::size_t n) {
    if (n > end_ - at_) throw std::runtime_error("truncated");
    const char* p = bytes_.data() + at_;
    at_ += n;
    return p;
  }
  bool done() const { return at_ == end_; }
  void skip(std::size_t n) { take(n); }

 private:
  const std::vector<char>& bytes_;
  std::size_t end_, at_ = 0;
};

std::map<std::string, Entry> parse(const std::vector<char>& bytes) {
  if (bytes.size() < sizeof kMagic + 8 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    throw std::runtime_error("not a quern VAD weights file");
  }
  const std::size_t body = bytes.size() - 4;
  std::uint32_t stored;
  std::memcpy(&stored, bytes.data() + body, 4);
  const auto crc = static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(body)));
  if (crc != stored) throw std::runtime_error("checksum mismatch: the file is damaged");
  Reader r(bytes, body);
  r.skip(sizeof kMagic);
  std::map<std::string, Entry> entries;
  for (auto n = r.number<std::uint32_t>(); n > 0; --n) {
    const auto length = r.number<std::uint16_t>();
    std::string name(r.take(length), length);
    Entry e;
    const auto kind = r.number<std::uint8_t>();
    if (kind == 2) {
      e.integer = r.number<std::int64_t>();
    } else if (kind == 1) {
      const auto rank = r.number<std::uint8_t>();
      if (rank < 1 || rank > 2)
        throw std::runtime_error(name + " has rank " + std::to_string(rank));
      std::size_t count = 1;
      for (std::uint8_t d = 0; d < rank; ++d) {
        e.sizes.push_back(r.number<std::uint32_t>());
        count *= e.sizes.back();  // at most 2^64 over two 32-bit sizes: take() bounds it next
      }
      if (count > (body / sizeof(float))) throw std::runtime_error("truncated");
      e.values.resize(count);
      std::memcpy(e.values.data(), r.take(count * sizeof(float)), count * sizeof(float));
    } else {
      throw std::runtime_error(name + " is of unknown kind " + std::to_string(kind));
    }
    entries[name] = std::move(e);
  }
  if (!r.done()) throw std::runtime_error("bytes after the last entry");
  return entries;
}

SileroWeights branch(std::map<std::string, Entry>& entries, const std::string& prefix) {
  auto entry = [&](const char* name, bool tensor) -> Entry& {
    const auto it = entries.find(prefix + name);
    if (it == entries.end() || it->second.sizes.empty() != !tensor) {
      throw std::runtime_error("no " + std::string(tensor ? "tensor " : "integer ") + prefix +
                               name);
    }
    return it->second;
  };
  auto size = [&](const char* name) {
    const std::int64_t v = entry(name, false).integer;
    if (v < 0 || v > (1 << 20)) throw std::runtime_error(prefix + name + " out of range");
    return static_cast<std::size_t>(v);
  };
  auto values = [&](const char* name) { return std::move(entry(name, true).values); };
  // The encoder's channel counts, from the shapes of its weights (rows × columns as stored).
  auto dim = [&](const char* name, std::size_t d) {
    const auto& sizes = entry(name, true).sizes;
    return d < sizes.size() ? std::size_t{sizes[d]} : std::size_t{0};
  };
  SileroWeights w;
  w.frame = size("frame");
  w.context = size("context");
  w.hop = size("hop");
  w.window = size("window");
  w.pad = size("pad");
  w.bins = size("bins");
  w.c0 = dim("conv0_w", 1);
  w.c1 = dim("conv1_w", 1);
  w.c2 = dim("conv2_wt", 0);
  w.c3 = dim("conv3_wt", 0);
  w.stft_w = values("stft_w");
  w.conv0_w = values("conv0_w");
  w.conv0_b = values("conv0_b");
  w.conv1_w = values("conv1_w");
  w.conv1_b = values("conv1_b");
  w.conv2_wt = values("conv2_wt");
  w.conv2_b = values("conv2_b");
  w.conv3_wt = values("conv3_wt");
  w.conv3_b = values("conv3_b");
  w.lstm_wt = values("lstm_wt");
  w.lstm_b = values("lstm_b");
  w.out_wt = values("out_wt");
  w.out_b = values("out_b");
  if (const auto problem = check_weights(w); !problem.empty()) {
    throw std::runtime_error(prefix.substr(0, prefix.size() - 1) + ": " + problem);
  }
  return w;
}

}  // namespace

std::pair<SileroWeights, SileroWeights> read_weights_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  try {
    auto entries = parse(bytes);
    return {branch(entries, "branch16."), branch(entries, "branch8.")};
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

}  // namespace utils::vad::detail
