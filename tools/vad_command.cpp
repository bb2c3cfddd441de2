// quern vad FILE: speech segments (and per-frame probabilities) of an audio file.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "tools/commands.h"
#include "tools/frame_carry.h"
#include "tools/output.h"
#include "tools/vad_setup.h"

namespace quern_cli {

int run_vad(const VadCommand& command) {
  auto prepared = prepare(command.file, command.vad);
  AudioReader& input = *prepared.audio;
  const int rate = prepared.sample_rate;
  utils::vad::VADDetector detector(prepared.config);
  if (command.probabilities && !detector.config->use_model) {
    throw std::runtime_error("--probabilities needs the Silero model, which is not in use");
  }
  const auto frame = static_cast<std::size_t>(detector.config->frame_size);
  const std::size_t chunk = chunk_samples(command.vad.chunk_ms, rate);
  FrameCarry carry(frame);
  Progress progress(input.duration());

  std::vector<float> block(chunk);
  std::size_t frames_done = 0, read = 0;
  bool in_segment = false, was_ended = false;
  double start = 0, last_speech_end = 0;
  while (const std::size_t n = input.read(block)) {
    read += n;
    const auto frames = carry.take(std::span<const float>(block.data(), n));
    if (frames.empty()) continue;
    const double chunk_start = static_cast<double>(frames_done * frame) / rate;
    const std::size_t count = frames.size() / frame;
    bool has_speech = false, ended = false;
    if (command.probabilities) {
      // Frame by frame, to report each frame's probability; the same judgement as one call.
      for (std::size_t i = 0; i < count; ++i) {
        const auto [speech, frame_ended] =
            detector.process_audio(frames.slice(i * frame, (i + 1) * frame));
        has_speech = has_speech || speech;
        ended = ended || frame_ended;
        emit({{"time", static_cast<double>((frames_done + i) * frame) / rate},
              {"probability", detector.last_speech_prob}});
      }
    } else {
      std::tie(has_speech, ended) = detector.process_audio(frames);
    }
    frames_done += count;
    const double chunk_end = static_cast<double>(frames_done * frame) / rate;
    if (ended && !was_ended && in_segment) {
      emit({{"start", seconds(start)}, {"end", seconds(last_speech_end)}});
      in_segment = false;
    }
    if (has_speech) {
      if (!in_segment) start = chunk_start;
      in_segment = true;
      last_speech_end = chunk_end;
    }
    was_ended = ended;
    progress.update(static_cast<double>(read) / rate);
  }
  if (in_segment) emit({{"start", seconds(start)}, {"end", seconds(last_speech_end)}});
  return 0;
}

}  // namespace quern_cli
