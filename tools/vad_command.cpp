// quern vad FILE: speech segments (and per-frame probabilities) of an audio file.
#include <stdexcept>
#include <vector>

#include "tools/commands.h"
#include "tools/output.h"
#include "tools/segment_output.h"
#include "tools/vad_setup.h"
#include "utils/vad/frame_carry.h"

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
  utils::vad::FrameCarry carry(frame);
  Progress progress(input.duration());

  SegmentOutput segments(detector, rate, command.segments, false);

  std::vector<float> block(chunk);
  std::size_t frames_done = 0, read = 0;
  while (const std::size_t n = input.read(block)) {
    read += n;
    const auto frames = carry.take(std::span<const float>(block.data(), n));
    segments.judge(detector, frames, [&](std::size_t i, std::pair<bool, bool>) {
      if (!command.probabilities) return;
      emit({{"time", static_cast<double>((frames_done + i) * frame) / rate},
            {"probability", detector.last_speech_prob}});
    });
    frames_done += frames.size() / frame;
    progress.update(static_cast<double>(read) / rate);
  }
  segments.finish();
  return 0;
}

}  // namespace quern_cli
