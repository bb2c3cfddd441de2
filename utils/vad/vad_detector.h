// VADDetector: voice activity detection for one audio stream. The host hands it every chunk;
// the detector cuts the chunk into frames of `frame_size` samples, judges each frame to be speech
// or not (by the Silero model when the configuration asks for it and the model loaded, else by
// smoothed energy), and reports per chunk whether any frame held speech and whether speech has
// ended: a run of speech followed by the padding and then the silence duration.
//
//   VADDetector detector(std::make_shared<VADConfig>(VADConfigFields{.use_model = true}));
//   auto [has_speech, speech_ended] = detector.process_audio(chunk);
//
// speech_ended stays true on every non-speech frame after the end until speech returns or
// reset(): a host that finalises on it acts on its change from false to true.
//
// In model mode the detector keeps its own stream's recurrent model state over the shared cached
// model, so detectors sharing one model never disturb each other. reset() clears the detector's
// counters, not that model state.
//
// Thread safety: calls on one detector must not overlap. Different detectors may run
// concurrently, also when they share a model. The configuration is read without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "utils/audio_samples.h"
#include "utils/export.h"
#include "utils/vad/silero_vad_model.h"
#include "utils/vad/vad_config.h"

namespace utils::vad {

// The energies of the latest frames, oldest dropped first. Fixed storage: no allocation.
class VAD_API EnergyHistory {
 public:
  static constexpr std::size_t kCapacity = 10;
  void push(double energy);
  void clear() { size_ = 0; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The arithmetic mean of the held values, oldest to newest. REQUIRES: !empty().
  double mean() const;
  // The i-th value from the oldest.
  double operator[](std::size_t i) const { return values_[(head_ + i) % kCapacity]; }

 private:
  std::array<double, kCapacity> values_{};
  std::size_t head_ = 0;  // index of the oldest value
  std::size_t size_ = 0;
};

class VAD_API VADDetector {
 public:
  // Holds `config` (a new default one when null) and, when it asks for the model, obtains the
  // shared model; any failure to load falls back to energy detection and clears
  // config->use_model. Never throws for the model.
  explicit VADDetector(std::shared_ptr<VADConfig> config = nullptr);
  ~VADDetector();
  VADDetector(const VADDetector&) = delete;
  VADDetector& operator=(const VADDetector&) = delete;

  // Back to waiting: counters zero, no speech seen, energy history empty.
  void reset();

  double _calculate_energy(const AudioSamples& frame) const;
  double _smooth_energy(double energy);
  double _predict_speech(const AudioSamples& frame);

  // One frame of any non-zero length: (is_speech, speech_ended).
  std::pair<bool, bool> process_frame(const AudioSamples& frame);
  // One chunk: (has_speech, speech_ended). Samples after the last whole frame are ignored.
  // Throws std::invalid_argument, before any frame, when the configuration gives no valid frame
  // counts (frame_size below 1, NaN or infinite durations).
  std::pair<bool, bool> process_audio(const AudioSamples& audio);

  // {"speech_detected", "silence_counter", "padding_counter", "silence_threshold",
  //  "padding_threshold"}, in this order.
  nlohmann::ordered_json get_state() const;

  std::shared_ptr<VADConfig> config;
  std::int64_t silence_counter = 0;
  bool speech_detected = false;
  std::int64_t padding_counter = 0;
  EnergyHistory energy_history;
  std::shared_ptr<SileroVADModel> vad_model;
  // The model's speech probability for the latest frame judged in model mode (0.0 before any):
  // for hosts that show or log it.
  double last_speech_prob = 0.0;

 private:
  friend std::vector<std::pair<bool, bool>> process_audio_batch(
      std::span<VADDetector* const> detectors, std::span<const AudioSamples> chunks,
      std::span<std::vector<std::pair<bool, bool>>* const> verdicts);
  // The speech/silence state machine after a frame judged `is_speech`: (is_speech, speech_ended).
  std::pair<bool, bool> advance(bool is_speech);

  std::optional<SileroVADModel::Stream> stream_;  // this detector's model state
};

}  // namespace utils::vad
