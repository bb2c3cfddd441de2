// The quern subcommands and their settings.
#pragma once

#include <optional>
#include <string>

namespace quern_cli {

struct VadSettings {
  bool use_model = true;  // --model (default) or --energy
  std::optional<std::string> model_path;
  std::optional<double> threshold;  // model probability or energy, by mode
  std::optional<double> silence;    // seconds
  std::optional<double> padding;    // seconds
  std::optional<int> frame_size;    // default: 512 at 16 kHz, 256 at 8 kHz
  std::optional<int> sample_rate;   // 16000 or 8000; default: the file's when it is one of them
  int chunk_ms = 100;
};

struct VadCommand {
  std::string file;
  VadSettings vad;
  bool probabilities = false;
};

struct SessionCommand {
  std::string file;
  VadSettings vad;
  std::string model_type = "paraformer_funasr";
  double max_silence = 3.0;
  long long max_samples = 480000;
  std::string hotwords;
  bool two_pass = true;
  std::string punc_model = "iic/punc_ct-transformer_zh-cn-common-vad_realtime-vocab272727";
  bool realtime = false;
};

int run_vad(const VadCommand& command);
int run_session(const SessionCommand& command);

}  // namespace quern_cli
