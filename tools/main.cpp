// quern: the command-line host of the engine layer.
//   quern vad FILE        speech segments of an audio input (JSON lines)
//   quern session FILE    a two-pass recognition session over an audio input (JSON lines)
//   quern serve           the streaming speech service (WebSocket, HTTP) until SIGTERM
//   quern loadtest URL    many concurrent streams against a running service; one JSON report
// FILE may be "-" (standard input) or a pipe. Every flag is checked before any output: a bad
// value exits with status 2 and names the flag and what it accepts.
#include <dlfcn.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <exception>
#include <map>

#include "platform/quern_config.h"
#include "platform/quern_log.h"
#include "testing/stand_ins/stand_in_engine.h"
#ifdef QUERN_HAVE_POCKETSPHINX
#include "engines/pocketsphinx/pocketsphinx_engines.h"
#endif
#include "tools/commands.h"

namespace {

// A finite number in [lo, hi] (CLI::Range lets NaN through).
CLI::Validator finite_in(double lo, double hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) -> std::string {
        double v = 0;
        if (!CLI::detail::lexical_cast(text, v) || !std::isfinite(v) || v < lo || v > hi) {
          return "must be a number in [" + CLI::detail::to_string(lo) + ", " +
                 CLI::detail::to_string(hi) + "], not " + text;
        }
        return "";
      },
      "NUMBER in [" + CLI::detail::to_string(lo) + ", " + CLI::detail::to_string(hi) + "]");
}

void add_vad_flags(CLI::App& app, quern_cli::VadSettings& vad) {
  auto* energy = app.add_flag_callback(
      "--energy", [&vad] { vad.use_model = false; }, "Judge frames by smoothed energy");
  auto* model = app.add_flag_callback(
      "--model", [&vad] { vad.use_model = true; },
      "Judge frames by the Silero VAD model (default; falls back to energy when it cannot load)");
  energy->excludes(model);
  app.add_option("--model-path", vad.model_path, "A TorchScript VAD model file")
      ->check(CLI::ExistingFile)
      ->default_str("the packaged Silero model");
  app.add_option("--threshold", vad.threshold,
                 "Speech threshold: a probability (model) or an RMS level (energy)")
      ->check(finite_in(0.0, 1.0))
      ->default_str("0.5 with the model, 0.01 by energy");
  app.add_option("--silence", vad.silence, "Seconds of silence that end speech")
      ->check(finite_in(0.0, 3600.0))
      ->default_str("1.0");
  app.add_option("--padding", vad.padding, "Seconds of grace after speech")
      ->check(finite_in(0.0, 3600.0))
      ->default_str("0.3");
  app.add_option("--frame-size", vad.frame_size,
                 "Samples per frame (the Silero model takes only its own size)")
      ->check(CLI::Range(1, 1 << 20))
      ->default_str("512 at 16 kHz, 256 at 8 kHz");
  app.add_option("--sample-rate", vad.sample_rate, "Rate to run at, in Hz")
      ->check(CLI::IsMember({8000, 16000}))
      ->default_str("the input's if 8000 or 16000, else 16000");
  app.add_option("--chunk-ms", vad.chunk_ms, "Milliseconds of audio per chunk")
      ->check(CLI::Range(1, 60000))
      ->capture_default_str();
}

void add_segment_flags(CLI::App& app, quern_cli::SegmentSettings& s) {
  app.add_option(
         "--end-threshold", s.end_threshold,
         "End each segment at its last speech frame scoring above this: a probability "
         "(model) or the frame's own RMS level (energy); 0 with the model: the detector's own "
         "spans")
      ->check(finite_in(0.0, 1.0))
      ->default_str("0.9 with the model, --threshold by energy");
  app.add_option("--min-speech", s.min_speech, "Drop speech segments shorter than this (seconds)")
      ->check(finite_in(0.0, 3600.0))
      ->default_str("0: keep all");
  app.add_option("--max-speech", s.max_speech,
                 "Split longer speech segments at their least speech-like frame (seconds)")
      ->check(finite_in(0.0, 1e6))
      ->default_str("no limit");
  app.add_option("--pad", s.pad,
                 "Extend each segment by this much at both ends, within the input and never "
                 "into a neighbour (seconds)")
      ->check(finite_in(0.0, 3600.0))
      ->default_str("0");
}

// --engines: the real recognisers where built, or the stand-ins.
void add_engines_flag(CLI::App& app, std::string& engines) {
  std::vector<std::string> kinds{"stand-in"};
#ifdef QUERN_HAVE_POCKETSPHINX
  kinds.insert(kinds.begin(), "pocketsphinx");
#endif
  app.add_option("--engines", engines,
                 "Recognisers: pocketsphinx (US English, 16 kHz) or the stand-ins")
      ->check(CLI::IsMember(kinds))
      ->capture_default_str();
}

// quern runs one stream, for which the model's small matrix products are fastest on one
// OpenBLAS thread (more only contend). Looked up at run time: libtorch brings OpenBLAS in.
void use_one_blas_thread() {
  using SetThreads = void (*)(int);
  if (auto* set = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"))) {
    set(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "quern: the speech-recognition engine layer over audio files, and as a streaming service"};
  app.require_subcommand(1);
  app.fallthrough();  // --log-level may follow the subcommand too
  std::string log_level = "warning";
  auto* log_level_option = app.add_option("--log-level", log_level, "Library log level on stderr")
                               ->check(CLI::IsMember({"debug", "info", "warning", "error"}))
                               ->default_str("warning; error for serve");

  quern_cli::VadCommand vad;
  auto* vad_app = app.add_subcommand("vad", "Print speech segments of FILE as JSON lines");
  vad_app->add_option("FILE", vad.file, "Audio file (WAV, FLAC, OGG, ...), a pipe, or - for stdin")
      ->required();
  add_vad_flags(*vad_app, vad.vad);
  add_segment_flags(*vad_app, vad.segments);
  vad_app->add_flag("--probabilities", vad.probabilities,
                    "Also print each frame's time and speech probability");

  quern_cli::StreamsCommand streams;
  auto* streams_app = app.add_subcommand(
      "streams",
      "Run many simultaneous streams of FILE through batched detection; print the throughput");
  streams_app->add_option("FILE", streams.file, "Audio file (WAV, FLAC, OGG, ...)")->required();
  add_vad_flags(*streams_app, streams.vad);
  streams_app->add_option("--streams", streams.streams, "Simultaneous streams")
      ->check(CLI::Range(1, 1 << 20))
      ->capture_default_str();
  streams_app->add_option("--threads", streams.threads, "Threads sharing the streams")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();
  streams_app->add_option("--seconds", streams.seconds, "Seconds of audio per stream")
      ->check(finite_in(0.001, 1e6))
      ->default_str("the whole file");

  quern_cli::SessionCommand session;
  auto* session_app = app.add_subcommand(
      "session",
      "Run a two-pass recognition session over FILE; partial and final results as JSON lines");
  session_app
      ->add_option("FILE", session.file, "Audio file (WAV, FLAC, OGG, ...), a pipe, or - for stdin")
      ->required();
  add_vad_flags(*session_app, session.vad);
  add_segment_flags(*session_app, session.segments);
  std::vector<std::string> families;
  for (auto t : {quern_config::ModelType::PARAFORMER_FUNASR, quern_config::ModelType::SENSEVOICE,
                 quern_config::ModelType::SENSEVOICE_FUNASR, quern_config::ModelType::MOONSHINE}) {
    families.emplace_back(quern_config::value(t));
  }
  session_app->add_option("--model-type", session.model_type, "Engine family")
      ->check(CLI::IsMember(families))
      ->capture_default_str();
  session_app
      ->add_option("--max-silence", session.max_silence,
                   "Seconds without audio that finalise an utterance (with --realtime)")
      ->check(finite_in(0.0, 3600.0))
      ->default_str("3.0");
  session_app
      ->add_option("--max-samples", session.max_samples,
                   "Buffered samples that finalise an utterance")
      ->check(CLI::Range(1LL, 1LL << 40))
      ->capture_default_str();
  session_app->add_option("--hotwords", session.hotwords, "Hotwords separated by whitespace")
      ->default_str("none");
  session_app
      ->add_option("--language", session.language,
                   "Language handed to both passes and the punctuation")
      ->capture_default_str();
  session_app
      ->add_option("--punc-model", session.punc_model,
                   "Punctuation model name (empty: no punctuation)")
      ->capture_default_str();
  session_app->add_flag_callback(
      "--no-2pass", [&session] { session.two_pass = false; }, "Skip the offline second pass");
  add_engines_flag(*session_app, session.engines);
  session_app->add_flag("--realtime", session.realtime,
                        "Feed chunks at the audio's own pace and poll for the silence timeout "
                        "between them");

  quern_cli::ServeCommand serve;
  auto* serve_app = app.add_subcommand(
      "serve", "Serve streaming recognition over WebSocket (and a browser page) until SIGTERM");
  {
    auto& o = serve.options;
    serve_app->add_option("--host", o.host, "Address to listen on")->capture_default_str();
    serve_app->add_option("--port", o.port, "Port to listen on (0: any free one)")
        ->capture_default_str();
    serve_app->add_option("--max-sessions", o.max_sessions, "Open streams at most; beyond: 503")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    serve_app->add_option("--io-threads", o.io_threads, "Threads for the network")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serve_app->add_option("--workers", o.workers, "Threads for the streaming passes")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serve_app
        ->add_option("--finalize-workers", o.finalize_workers,
                     "Threads for the offline passes and engine loading")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serve_app->add_option("--max-message-bytes", o.max_message_bytes, "Largest client message")
        ->check(CLI::Range(1024, 64 << 20))
        ->capture_default_str();
    serve_app->add_option("--config-timeout", o.config_timeout, "Seconds to wait for the config")
        ->check(finite_in(0.1, 3600.0))
        ->capture_default_str();
    serve_app->add_option("--idle-timeout", o.idle_timeout, "Seconds a client may send nothing")
        ->check(finite_in(0.1, 86400.0))
        ->capture_default_str();
    serve_app
        ->add_option("--drain-seconds", o.drain_seconds,
                     "Longest a drain (SIGTERM) may take before the rest is cut off")
        ->check(finite_in(0.0, 3600.0))
        ->capture_default_str();
    serve_app->add_flag_callback(
        "--energy", [&o] { o.vad_model = false; }, "Judge speech by smoothed energy");
    serve_app->add_option("--model-path", o.vad_model_path, "A TorchScript VAD model file")
        ->check(CLI::ExistingFile)
        ->default_str("the packaged Silero model");
    add_engines_flag(*serve_app, serve.engines);
  }

  quern_cli::LoadtestCommand loadtest;
  auto* loadtest_app = app.add_subcommand(
      "loadtest",
      "Stream FILE from many concurrent clients to a running quern serve; one JSON line");
  {
    auto& o = loadtest.options;
    loadtest_app->add_option("URL", loadtest.url, "ws://HOST:PORT/v1/stream")->required();
    loadtest_app->add_option("--file", loadtest.file, "Speech to stream (looped)")->required();
    loadtest_app->add_option("--streams", o.streams, "Concurrent streams")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    auto* realtime = loadtest_app->add_flag_callback(
        "--realtime", [&o] { o.rate = 1.0; }, "Send at the audio's own pace (default)");
    loadtest_app->add_option("--rate", o.rate, "Times real time (0: as fast as accepted)")
        ->check(finite_in(0.0, 1000.0))
        ->excludes(realtime);
    loadtest_app->add_flag("--idle", o.idle,
                           "Send no audio: hold each connection for --seconds, then end");
    loadtest_app->add_option("--seconds", o.seconds, "Seconds of audio per stream")
        ->check(finite_in(0.1, 86400.0))
        ->default_str("the file's length");
    loadtest_app->add_option("--chunk-ms", loadtest.chunk_ms, "Milliseconds of audio per message")
        ->check(CLI::Range(1, 10000))
        ->capture_default_str();
    loadtest_app->add_option("--connect-rate", o.connect_rate, "New connections per second")
        ->check(finite_in(1.0, 1e6))
        ->capture_default_str();
    loadtest_app
        ->add_option(
            "--config", loadtest.config,
            "JSON object of config fields for every stream, e.g. '{\"vad\":{\"silence\":0.5}}'")
        ->default_str("{}");
    loadtest_app->add_option("--threads", o.threads, "Client threads")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
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
  // A service logs what needs a look, not every utterance's notes.
  if (serve_app->parsed() && log_level_option->count() == 0) log_level = "error";
  quern_log::logger.set_level(levels.at(log_level));
  use_one_blas_thread();
  // The stand-ins provide every engine class; the real recognisers then take the default
  // family's classes where asked for.
  stand_in::install();
#ifdef QUERN_HAVE_POCKETSPHINX
  if (serve_app->parsed() && serve.engines == "pocketsphinx") engines::pocketsphinx::provide();
  if (session_app->parsed() && session.engines == "pocketsphinx") {
    if (session.vad.sample_rate && *session.vad.sample_rate != 16000) {
      std::fprintf(stderr,
                   "quern: --sample-rate must be 16000 with --engines pocketsphinx (the input is "
                   "resampled to it)\n");
      return 2;
    }
    session.vad.sample_rate = 16000;
    engines::pocketsphinx::provide();
  }
#endif

  try {
    if (vad_app->parsed()) return quern_cli::run_vad(vad);
    if (streams_app->parsed()) return quern_cli::run_streams(streams);
    if (serve_app->parsed()) return quern_cli::run_serve(serve);
    if (loadtest_app->parsed()) return quern_cli::run_loadtest(loadtest);
    return quern_cli::run_session(session);
  } catch (const quern_cli::UsageError& e) {
    std::fprintf(stderr, "quern: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quern: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quern: unexpected failure\n");
  }
  return 1;
}
