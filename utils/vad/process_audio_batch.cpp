// process_audio_batch: many detectors' chunks at once, frame step by frame step, with the
// model-mode frames of each shared model run through it together.
#include "utils/vad/process_audio_batch.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>

namespace utils::vad {

std::vector<std::pair<bool, bool>> process_audio_batch(std::span<VADDetector* const> detectors,
                                                       std::span<const AudioSamples> chunks) {
  return process_audio_batch(detectors, chunks, {});
}

std::vector<std::pair<bool, bool>> process_audio_batch(
    std::span<VADDetector* const> detectors, std::span<const AudioSamples> chunks,
    std::span<std::vector<std::pair<bool, bool>>* const> verdicts) {
  const std::size_t n = detectors.size();
  if (chunks.size() != n) {
    throw std::invalid_argument("process_audio_batch: " + std::to_string(n) + " detectors and " +
                                std::to_string(chunks.size()) + " chunks");
  }
  if (!verdicts.empty() && verdicts.size() != n) {
    throw std::invalid_argument("process_audio_batch: " + std::to_string(n) + " detectors and " +
                                std::to_string(verdicts.size()) + " verdict lists");
  }
  const auto note = [&](std::size_t i, std::pair<bool, bool> v) {
    if (!verdicts.empty() && verdicts[i]) verdicts[i]->push_back(v);
  };
  thread_local std::vector<VADDetector*> sorted;
  sorted.assign(detectors.begin(), detectors.end());
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
    throw std::invalid_argument("process_audio_batch: a detector is named twice");
  }
  // As one process_audio after another: a configuration without valid frame counts stops the
  // batch at its detector, after the ones before it.
  std::size_t runs = n;
  std::exception_ptr failure;
  for (std::size_t i = 0; i < n && !failure; ++i) {
    if (chunks[i].empty()) continue;
    try {
      (void)detectors[i]->config->silence_frames();
      (void)detectors[i]->config->padding_frames();
    } catch (...) {
      failure = std::current_exception();
      runs = i;
    }
  }

  std::vector<std::pair<bool, bool>> results(runs, {false, false});
  std::size_t steps = 0;
  for (std::size_t i = 0; i < runs; ++i) {
    if (chunks[i].empty()) continue;
    steps = std::max(steps,
                     chunks[i].size() / static_cast<std::size_t>(detectors[i]->config->frame_size));
  }
  thread_local std::vector<std::size_t> waiting;  // model-mode frames of this step
  thread_local std::vector<AudioSamples> frames;
  thread_local std::vector<int> rates;
  thread_local std::vector<SileroVADModel::Stream*> streams;
  thread_local std::vector<double> probabilities;
  thread_local std::vector<std::size_t> members;
  for (std::size_t step = 0; step < steps; ++step) {
    waiting.clear();
    for (std::size_t i = 0; i < runs; ++i) {
      VADDetector& d = *detectors[i];
      const auto frame_size = static_cast<std::size_t>(d.config->frame_size);
      if (chunks[i].empty() || (step + 1) * frame_size > chunks[i].size()) continue;
      if (d.config->use_model && d.vad_model && d.stream_) {
        waiting.push_back(i);
        continue;
      }
      const auto [speech, ended] =
          d.process_frame(chunks[i].slice(step * frame_size, (step + 1) * frame_size));
      note(i, {speech, ended});
      results[i].first = results[i].first || speech;
      results[i].second = results[i].second || ended;
    }
    // Each model's frames together.
    for (std::size_t w = 0; w < waiting.size();) {
      const SileroVADModel* model = detectors[waiting[w]]->vad_model.get();
      members.clear();
      frames.clear();
      rates.clear();
      streams.clear();
      for (std::size_t& i : waiting) {
        if (i == n) continue;
        VADDetector& d = *detectors[i];
        if (d.vad_model.get() != model) continue;
        const auto frame_size = static_cast<std::size_t>(d.config->frame_size);
        members.push_back(i);
        frames.push_back(chunks[i].slice(step * frame_size, (step + 1) * frame_size));
        rates.push_back(d.config->sample_rate);
        streams.push_back(&*d.stream_);
        i = n;  // taken
      }
      probabilities.resize(members.size());
      model->predict_batch(frames, rates, streams, probabilities);
      for (std::size_t j = 0; j < members.size(); ++j) {
        VADDetector& d = *detectors[members[j]];
        d.last_speech_prob = probabilities[j];
        const auto [speech, ended] = d.advance(probabilities[j] > d.config->model_threshold);
        note(members[j], {speech, ended});
        auto& r = results[members[j]];
        r.first = r.first || speech;
        r.second = r.second || ended;
      }
      while (w < waiting.size() && waiting[w] == n) ++w;
    }
  }
  frames.clear();  // let go of the callers' samples
  if (failure) std::rethrow_exception(failure);
  results.resize(n);
  return results;
}

}  // namespace utils::vad
