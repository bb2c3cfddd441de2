// DirectModel: input rules, per-stream state and batching over the two branch networks.
#include "utils/vad/direct_model.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace utils::vad::detail {

namespace {

constexpr std::size_t kHidden = SileroNetwork::kHidden;
constexpr std::size_t kMaxContext = 64;

struct DirectStream final : ModelStream {
  float hc[2 * kHidden];       // the LSTM's h and c
  float context[kMaxContext];  // the last samples of the previous frame
  // The branch the state belongs to (its context length); 0: start from zeros.
  std::size_t context_size = 0;
};

// The frame as a branch sees it: decimated to 16 kHz from a multiple of that rate (every k-th
// sample, into `decimated`), checked as the converted module checks it.
const float* prepare(const Frame& frame, int& sample_rate, std::size_t& size,
                     std::vector<float>& decimated) {
  const float* x = frame.data;
  size = frame.size;
  if (sample_rate > 16000 && sample_rate % 16000 == 0) {
    const std::size_t step = static_cast<std::size_t>(sample_rate / 16000);
    decimated.clear();
    for (std::size_t i = 0; i < size; i += step) decimated.push_back(x[i]);
    x = decimated.data();
    size = decimated.size();
    sample_rate = 16000;
  }
  if (sample_rate != 16000 && sample_rate != 8000) {
    throw std::runtime_error("Supported sampling rates: [8000, 16000] (or multiply of 16000)");
  }
  if (size == 0 || static_cast<double>(sample_rate) / static_cast<double>(size) > 31.25) {
    throw std::runtime_error("Input audio chunk is too short");
  }
  const std::size_t expected = sample_rate == 16000 ? 512 : 256;
  if (size != expected) {
    throw std::runtime_error("Provided number of samples is " + std::to_string(size) +
                             " (Supported values: 256 for 8000 sample rate, 512 for 16000)");
  }
  return x;
}

// The item for `frame` on `b`, resuming the stream's state where it belongs to `b`.
SileroNetwork::Item resume(const DirectStream& s, const SileroNetwork& b, const float* frame) {
  SileroNetwork::Item item;
  item.frame = frame;
  if (s.context_size == b.context()) {
    item.h = s.hc;
    item.c = s.hc + kHidden;
    item.context = s.context;
  }
  return item;
}

// Keeps a finished frame's new state in its stream; a frame without a finite result keeps the
// state from before it.
void commit(DirectStream& s, const SileroNetwork& b, const SileroNetwork::Item& item) {
  require_finite(item.probability);
  std::copy_n(item.new_h, kHidden, s.hc);
  std::copy_n(item.new_c, kHidden, s.hc + kHidden);
  std::copy_n(item.frame + b.frame() - b.context(), b.context(), s.context);
  s.context_size = b.context();
}

}  // namespace

std::string check_weights(const SileroWeights& w) {
  const std::size_t length = w.context + w.frame, h = kHidden;
  if (w.frame == 0 || w.context > kMaxContext || w.hop == 0 || w.window == 0 || w.bins == 0 ||
      w.pad >= length || w.window > length + w.pad) {
    return "inconsistent framing";
  }
  if ((length + w.pad - w.window) / w.hop + 1 != SileroNetwork::kSteps) {
    return "not four STFT windows per frame";
  }
  if (w.c0 == 0 || w.c1 == 0 || w.c2 == 0 || w.c3 == 0) return "a layer without channels";
  const bool sizes = w.stft_w.size() == w.window * 2 * w.bins &&
                     w.conv0_w.size() == 3 * w.bins * w.c0 && w.conv0_b.size() == w.c0 &&
                     w.conv1_w.size() == 3 * w.c0 * w.c1 && w.conv1_b.size() == w.c1 &&
                     w.conv2_wt.size() == w.c2 * 2 * w.c1 && w.conv2_b.size() == w.c2 &&
                     w.conv3_wt.size() == w.c3 * w.c2 && w.conv3_b.size() == w.c3 &&
                     w.lstm_wt.size() == 4 * h * (w.c3 + h) && w.lstm_b.size() == 4 * h &&
                     w.out_wt.size() == h && w.out_b.size() == 1;
  return sizes ? "" : "weights of inconsistent shapes";
}

DirectModel::DirectModel(const SileroWeights& branch16, const SileroWeights& branch8)
    : branch16_(branch16), branch8_(branch8), shared_(new_stream()) {}

std::unique_ptr<ModelStream> DirectModel::new_stream() const {
  return std::make_unique<DirectStream>();
}

const SileroNetwork* DirectModel::as_is(const Frame& frame, int sample_rate) const {
  const SileroNetwork* b = sample_rate == 16000  ? &branch16_
                           : sample_rate == 8000 ? &branch8_
                                                 : nullptr;
  return b && frame.size == b->frame() ? b : nullptr;
}

double DirectModel::forward(const Frame& frame, int sample_rate) {
  // One state shared by every caller: the same steps as a stream's, one call at a time. A change
  // of sample rate starts it over (the other branch's state does not resume).
  std::lock_guard lock(mutex_);
  return forward(frame, sample_rate, *shared_);
}

double DirectModel::forward(const Frame& frame, int sample_rate, ModelStream& stream) const {
  auto& s = static_cast<DirectStream&>(stream);
  thread_local std::vector<float> decimated;
  std::size_t size = 0;
  const float* x = prepare(frame, sample_rate, size, decimated);
  const SileroNetwork& b = sample_rate == 16000 ? branch16_ : branch8_;
  SileroNetwork::Item item = resume(s, b, x);
  b.run(&item, 1);
  commit(s, b, item);
  return item.probability;
}

void DirectModel::forward_batch(const Frame* frames, const int* sample_rates,
                                ModelStream* const* streams, std::size_t count, double* out,
                                std::exception_ptr* errors) const {
  // Each branch's well-formed frames go through its network together; the rest (to decimate or
  // refuse) one at a time.
  thread_local std::vector<SileroNetwork::Item> items;
  thread_local std::vector<std::size_t> index;
  for (const SileroNetwork* b : {&branch16_, &branch8_}) {
    items.clear();
    index.clear();
    for (std::size_t i = 0; i < count; ++i) {
      if (as_is(frames[i], sample_rates[i]) != b) continue;
      items.push_back(resume(static_cast<DirectStream&>(*streams[i]), *b, frames[i].data));
      index.push_back(i);
    }
    b->run(items.data(), items.size());
    for (std::size_t j = 0; j < items.size(); ++j) {
      const std::size_t i = index[j];
      try {
        commit(static_cast<DirectStream&>(*streams[i]), *b, items[j]);
        out[i] = items[j].probability;
        errors[i] = nullptr;
      } catch (...) {
        out[i] = 0.0;
        errors[i] = std::current_exception();
      }
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!as_is(frames[i], sample_rates[i]))
      forward_alone(frames, sample_rates, streams, i, out, errors);
  }
}

}  // namespace utils::vad::detail
