// The quern subcommands and their settings.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "client/load_test.h"
#include "server/server.h"

namespace quern_cli {

// A flag value that does not fit the chosen mode or rate: reported like a parse error (exit 2).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct VadSettings {
  bool use_model = true;  // --model (default) or --energy
  std::optional<std::string> model_path;
  std::optional<double> threshold;  // model probability or energy, by mode; in [0, 1]
  std::optional<double> silence;    // seconds
  std::optional<double> padding;    // seconds
  std::optional<int> frame_size;    // samples; default: 512 at 16 kHz, 256 at 8 kHz
  std::optional<int> sample_rate;   // Hz, 16000 or 8000; default: the input's when it is one
  int chunk_ms = 100;               // milliseconds of audio per chunk
};

// How segments are read from the detector's frames (the rules off by default).
struct SegmentSettings {
  // A segment ends at its last speech frame scoring above this. Default by the mode the detector
  // runs in: 0.9 (probability) with the model, the energy threshold (the frame's own RMS) without.
  std::optional<double> end_threshold;
  double min_speech = 0.0;                                      // seconds
  double max_speech = std::numeric_limits<double>::infinity();  // seconds
  double pad = 0.0;                                             // seconds
};

struct VadCommand {
  std::string file;  // a path, or "-" for standard input
  VadSettings vad;
  SegmentSettings segments;
  bool probabilities = false;
};

struct SessionCommand {
  std::string file;
  VadSettings vad;
  SegmentSettings segments;
  std::string model_type = "paraformer_funasr";
  double max_silence = 3.0;        // seconds
  long long max_samples = 480000;  // samples
  std::string hotwords;
  std::string language = "auto";
  bool two_pass = true;
  std::string punc_model = "iic/punc_ct-transformer_zh-cn-common-vad_realtime-vocab272727";
  bool realtime = false;
  // "pocketsphinx" (real English recognisers, where built) or "stand-in".
#ifdef QUERN_HAVE_POCKETSPHINX
  std::string engines = "pocketsphinx";
#else
  std::string engines = "stand-in";
#endif
};

struct StreamsCommand {
  std::string file;
  VadSettings vad;
  std::size_t streams = 64;       // simultaneous streams, each at its own offset into the file
  std::size_t threads = 1;        // threads sharing the streams out, one batch each per step
  std::optional<double> seconds;  // audio per stream; default: the whole file
};

struct ServeCommand {
  server::ServerOptions options;
#ifdef QUERN_HAVE_POCKETSPHINX
  std::string engines = "pocketsphinx";
#else
  std::string engines = "stand-in";
#endif
};

struct LoadtestCommand {
  std::string url;
  std::string file;
  int chunk_ms = 100;  // milliseconds of audio per message
  std::string config;  // JSON object: config fields for every stream
  client::LoadTestOptions options;
};

int run_vad(const VadCommand& command);
int run_streams(const StreamsCommand& command);
int run_session(const SessionCommand& command);
int run_serve(const ServeCommand& command);
int run_loadtest(const LoadtestCommand& command);

}  // namespace quern_cli
