// quern: the command-line host of the engine layer.
//   quern vad FILE        speech segments of an audio file (JSON lines)
//   quern session FILE    a two-pass recognition session over an audio file (JSON lines)
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <map>

#include "platform/quern_log.h"
#include "tools/commands.h"

namespace {

void add_vad_flags(CLI::App& app, quern_cli::VadSettings& vad) {
  auto* energy = app.add_flag_callback(
      "--energy", [&vad] { vad.use_model = false; }, "Judge frames by smoothed energy");
  auto* model = app.add_flag_callback(
      "--model", [&vad] { vad.use_model = true; },
      "Judge frames by the Silero VAD model (default; falls "
      "back to energy when it cannot load)");
  energy->excludes(model);
  app.add_option("--model-path", vad.model_path, "A TorchScript VAD model file")
      ->check(CLI::ExistingFile);
  app.add_option("--threshold", vad.threshold,
                 "Speech threshold: probability (model) or RMS energy (energy mode)")
      ->check(CLI::Range(0.0, 1e9));
  app.add_option("--silence", vad.silence, "Seconds of silence that end speech (default 1.0)")
      ->check(CLI::Range(0.0, 3600.0));
  app.add_option("--padding", vad.padding, "Seconds of grace after speech (default 0.3)")
      ->check(CLI::Range(0.0, 3600.0));
  app.add_option("--frame-size", vad.frame_size,
                 "Samples per frame (default 512 at 16 kHz, 256 at 8 kHz)")
      ->check(CLI::Range(1, 1 << 20));
  app.add_option("--sample-rate", vad.sample_rate,
                 "Rate to run at: 16000 or 8000 (default: the file's, if one of them, else 16000)")
      ->check(CLI::IsMember({8000, 16000}));
  app.add_option("--chunk-ms", vad.chunk_ms, "Milliseconds of audio per chunk (default 100)")
      ->check(CLI::Range(1, 60000));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"quern: the speech-recognition engine layer over an audio file"};
  app.require_subcommand(1);
  std::string log_level = "warning";
  app.add_option("--log-level", log_level, "Library log level on stderr (default warning)")
      ->check(CLI::IsMember({"debug", "info", "warning", "error"}));

  quern_cli::VadCommand vad;
  auto* vad_app = app.add_subcommand("vad", "Print speech segments of FILE as JSON lines");
  vad_app->add_option("FILE", vad.file, "Audio file (WAV, FLAC, OGG, ...)")->required();
  add_vad_flags(*vad_app, vad.vad);
  vad_app->add_flag("--probabilities", vad.probabilities,
                    "Also print each frame's time and speech probability");

  quern_cli::SessionCommand session;
  auto* session_app = app.add_subcommand(
      "session",
      "Run a two-pass recognition session over FILE; partial and final results as "
      "JSON lines");
  session_app->add_option("FILE", session.file, "Audio file (WAV, FLAC, OGG, ...)")->required();
  add_vad_flags(*session_app, session.vad);
  session_app->add_option("--model-type", session.model_type,
                          "paraformer_funasr, sensevoice, sensevoice_funasr or moonshine");
  session_app
      ->add_option("--max-silence", session.max_silence,
                   "Seconds without audio that finalise an utterance (default 3.0)")
      ->check(CLI::Range(0.0, 3600.0));
  session_app
      ->add_option("--max-samples", session.max_samples,
                   "Buffered samples that finalise an utterance (default 480000)")
      ->check(CLI::Range(0LL, 1LL << 40));
  session_app->add_option("--hotwords", session.hotwords, "Hotwords separated by whitespace");
  session_app->add_option("--punc-model", session.punc_model,
                          "Punctuation model name (empty: no punctuation)");
  session_app->add_flag_callback(
      "--no-2pass", [&session] { session.two_pass = false; }, "Skip the offline second pass");
  session_app->add_flag("--realtime", session.realtime,
                        "Feed chunks at the audio's own pace and poll for the silence timeout "
                        "from a second thread");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "quern: %s\n", e.what());
    return 2;
  }

  static const std::map<std::string, quern_log::Level> levels = {
      {"debug", quern_log::Level::debug},
      {"info", quern_log::Level::info},
      {"warning", quern_log::Level::warning},
      {"error", quern_log::Level::error}};
  quern_log::logger.set_level(levels.at(log_level));

  try {
    return vad_app->parsed() ? quern_cli::run_vad(vad) : quern_cli::run_session(session);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quern: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quern: unexpected failure\n");
  }
  return 1;
}
