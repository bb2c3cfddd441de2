// VADDetector: framing, energy and model judgement, and the speech/silence state machine.
#include "utils/vad/vad_detector.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "platform/quern_log.h"
#include "utils/number_format.h"

namespace utils::vad {

void EnergyHistory::push(double energy) {
  if (size_ < kCapacity) {
    values_[(head_ + size_) % kCapacity] = energy;
    ++size_;
  } else {
    values_[head_] = energy;
    head_ = (head_ + 1) % kCapacity;
  }
}

double EnergyHistory::mean() const {
  double sum = 0.0;
  for (std::size_t i = 0; i < size_; ++i) sum += (*this)[i];
  return sum / static_cast<double>(size_);
}

VADDetector::VADDetector(std::shared_ptr<VADConfig> cfg)
    : config(cfg ? std::move(cfg) : std::make_shared<VADConfig>()) {
  if (config->use_model) {
    try {
      vad_model = SileroVADModel::get_instance(config->model_path, config->device);
      quern_log::logger.info("VAD initialized with model: " + config->model_name +
                             ", threshold=" + utils::shortest(config->model_threshold) +
                             ", silence_duration=" + utils::shortest(config->silence_duration) +
                             "s, padding=" + utils::shortest(config->speech_padding) + "s");
      stream_.emplace(vad_model->new_stream());
    } catch (const std::exception& e) {
      quern_log::logger.warning("Failed to load VAD model, falling back to energy-based VAD: " +
                                std::string(e.what()));
      config->use_model = false;
    } catch (...) {
      quern_log::logger.warning(
          "Failed to load VAD model, falling back to energy-based VAD: unknown error");
      config->use_model = false;
    }
  }
  if (!config->use_model) {
    quern_log::logger.info("VAD initialized with energy-based detection: threshold=" +
                           utils::shortest(config->energy_threshold) +
                           ", silence_duration=" + utils::shortest(config->silence_duration) +
                           "s, padding=" + utils::shortest(config->speech_padding) + "s");
  }
}

VADDetector::~VADDetector() = default;

void VADDetector::reset() {
  silence_counter = 0;
  speech_detected = false;
  padding_counter = 0;
  energy_history.clear();
  quern_log::logger.debug("VAD state reset");
}

double VADDetector::_calculate_energy(const AudioSamples& frame) const {
  return frame.visit([](auto samples) -> double {
    using T = std::remove_cv_t<typename decltype(samples)::value_type>;
    // Float32 frames are measured in single precision, as their samples are; integer frames in
    // double, where their squares cannot overflow.
    using Acc = std::conditional_t<std::is_same_v<T, float>, float, double>;
    // Eight partial sums: vectorisable, and closer to the exact sum than one running total.
    Acc lanes[8] = {};
    const std::size_t n = samples.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      for (std::size_t k = 0; k < 8; ++k) {
        const Acc x = static_cast<Acc>(samples[i + k]);
        lanes[k] += x * x;
      }
    }
    for (; i < n; ++i) {
      const Acc x = static_cast<Acc>(samples[i]);
      lanes[i % 8] += x * x;
    }
    const Acc sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
                    ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
    return static_cast<double>(std::sqrt(sum / static_cast<Acc>(n)));
  });
}

double VADDetector::_smooth_energy(double energy) {
  energy_history.push(energy);
  return energy_history.mean();
}

double VADDetector::_predict_speech(const AudioSamples& frame) {
  if (!vad_model) return 0.0;
  if (stream_) return vad_model->predict(frame, config->sample_rate, *stream_);
  return vad_model->predict(frame, config->sample_rate);
}

std::pair<bool, bool> VADDetector::process_frame(const AudioSamples& frame) {
  if (frame.empty()) return {false, false};
  bool is_speech;
  if (config->use_model && vad_model) {
    last_speech_prob = _predict_speech(frame);
    is_speech = last_speech_prob > config->model_threshold;
  } else {
    is_speech = _smooth_energy(_calculate_energy(frame)) > config->energy_threshold;
  }
  return advance(is_speech);
}

std::pair<bool, bool> VADDetector::advance(bool is_speech) {
  bool speech_ended = false;
  if (is_speech) {
    speech_detected = true;
    silence_counter = 0;
    padding_counter = 0;
  } else if (speech_detected) {
    if (padding_counter < config->padding_frames()) {
      ++padding_counter;
    } else {
      ++silence_counter;
      speech_ended = silence_counter >= config->silence_frames();
    }
  }
  return {is_speech, speech_ended};
}

std::pair<bool, bool> VADDetector::process_audio(const AudioSamples& audio) {
  if (audio.empty()) return {false, false};
  // A configuration without valid frame counts fails here, before any frame changes the state.
  (void)config->silence_frames();
  (void)config->padding_frames();
  const auto frame_size = static_cast<std::size_t>(config->frame_size);
  const std::size_t num_frames = audio.size() / frame_size;
  bool has_speech = false;
  bool speech_ended = false;
  for (std::size_t i = 0; i < num_frames; ++i) {
    const std::size_t start = i * frame_size;
    const auto [is_speech, frame_ended] = process_frame(audio.slice(start, start + frame_size));
    has_speech = has_speech || is_speech;
    speech_ended = speech_ended || frame_ended;
  }
  return {has_speech, speech_ended};
}

nlohmann::ordered_json VADDetector::get_state() const {
  nlohmann::ordered_json state;
  state["speech_detected"] = speech_detected;
  state["silence_counter"] = silence_counter;
  state["padding_counter"] = padding_counter;
  state["silence_threshold"] = config->silence_frames();
  state["padding_threshold"] = config->padding_frames();
  return state;
}

}  // namespace utils::vad
