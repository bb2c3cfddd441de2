// SileroNetwork: one branch (one sample rate) of the converted Silero VAD network, run directly
// on weights laid out once for the frame kernel, for one stream's frame or for the frames of many
// streams together (each with its own state). Internal to libvad; no libtorch here (and C++17,
// as the one file that includes libtorch reads it).
//
// Thread safety: run() may be called from any number of threads at once (the weights are only
// read; each thread has its own working memory).
#pragma once

#include <cstddef>
#include <vector>

#include "utils/vad/frame_kernel.h"

namespace utils::vad::detail {

// A branch's weights as the converted module holds them (row-major), with its framing.
struct SileroWeights {
  std::size_t frame = 0, context = 0, hop = 0, window = 0, pad = 0, bins = 0;
  std::size_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;  // the encoder's channels
  std::vector<float> stft_w;                   // window × 2·bins
  std::vector<float> conv0_w, conv0_b;         // 3·bins × c0 (row bin·3 + tap), c0
  std::vector<float> conv1_w, conv1_b;         // 3·c0 × c1 (row channel·3 + tap), c1
  std::vector<float> conv2_wt, conv2_b;        // c2 × 2·c1 (column step·c1 + channel), c2
  std::vector<float> conv3_wt, conv3_b;        // c3 × c2, c3
  std::vector<float> lstm_wt, lstm_b;          // 4·hidden × (c3 + hidden), gates i, f, g, o
  std::vector<float> out_wt, out_b;            // hidden, 1
};

enum class Kernel { portable, avx2 };

class SileroNetwork {
 public:
  static constexpr std::size_t kHidden = 128;  // the LSTM's state size
  static constexpr std::size_t kSteps = 4;     // STFT windows per frame

  // REQUIRES: weights of consistent shapes with four STFT windows per frame (checked by the
  // reader of the module).
  explicit SileroNetwork(const SileroWeights& w);

  std::size_t frame() const { return frame_; }
  std::size_t context() const { return context_; }

  // One stream's frame. In: `frame` (frame() samples), the state `h`, `c` (kHidden each) and
  // `context` (context() samples before the frame); nullptr for zeros. Out: `probability` and the
  // new state in `new_h`, `new_c` (valid until this thread's next run()).
  struct Item {
    const float* frame = nullptr;
    const float* h = nullptr;
    const float* c = nullptr;
    const float* context = nullptr;
    float probability = 0.0f;
    const float* new_h = nullptr;
    const float* new_c = nullptr;
  };
  // Every item through the network together, each layer one matrix product over all of them.
  void run(Item* items, std::size_t count) const;

  // The kernel every network uses; false (and no change) for AVX2 on a CPU without it. By
  // default AVX2 where the CPU has AVX2 and FMA.
  static bool set_kernel(Kernel kernel);
  static Kernel kernel();

 private:
  std::size_t frame_, context_, hop_, window_, pad_, bins_;
  // Padded column counts (multiples of the kernel's block) of each product's output.
  std::size_t spec_cols_, c0p_, c1p_, c2p_, c3p_;
  std::vector<float> stft_w_, conv0_w_, conv0_b_, conv1_w_, conv1_b_, conv2_w_, conv2_b_, conv3_w_,
      conv3_b_, lstm_w_, lstm_b_, out_w_;
  float out_b_;
  std::vector<float> zero_bias_;
  // When the STFT basis is a windowed DFT (the packaged model's is), the spectrum comes from an
  // FFT of each windowed frame instead of the product with the basis; n == 0 otherwise.
  FftPlan fft_;
};

}  // namespace utils::vad::detail
