// Engines written in Python, plugged into the host seam: quern.dualis.provide(class_name, factory).
// The factory is called with the class's keyword arguments and returns an object with load(),
// reset() and stream_generate() or transcribe() (punctuation: generate()), and optionally a
// `hotwords` attribute. Every call into it takes the GIL; its exceptions pass through the
// controller to the caller unchanged.
#include <map>
#include <stdexcept>

#include "models/paraformer_asr.h"
#include "models/punctuation.h"
#include "models/sensevoice_asr.h"
#include "models/sensevoice_funasr.h"
#include "python/bindings.h"
#include "python/convert.h"

namespace quern_py {
namespace {

class PyEngine : public models::BaseASR {
 public:
  PyEngine(std::shared_ptr<py::object> engine, models::BaseASROptions base)
      : BaseASR(std::move(base)),
        engine_(std::move(engine)),
        has_hotwords_(py::hasattr(*engine_, "hotwords")) {}

  void load() override {
    py::gil_scoped_acquire gil;
    engine_->attr("load")();
    _is_loaded = true;
  }
  void reset() override {
    py::gil_scoped_acquire gil;
    engine_->attr("reset")();
  }
  models::ResultList stream_generate(const utils::AudioSamples& audio, bool is_final,
                                     const std::string& language) override {
    py::gil_scoped_acquire gil;
    return results_of(engine_->attr("stream_generate")(
        array_of(audio), py::arg("is_final") = is_final, py::arg("language") = language));
  }
  models::ResultList transcribe(const utils::AudioSamples& audio,
                                const std::string& language) override {
    py::gil_scoped_acquire gil;
    return results_of(engine_->attr("transcribe")(array_of(audio), py::arg("language") = language));
  }
  bool has_hotwords() const override { return has_hotwords_; }
  void set_hotwords(std::vector<std::string> hotwords) override {
    py::gil_scoped_acquire gil;
    engine_->attr("hotwords") = py::cast(hotwords);
  }

 private:
  std::shared_ptr<py::object> engine_;
  const bool has_hotwords_;
};

class PyPunctuation : public models::PunctuationModel {
 public:
  explicit PyPunctuation(std::shared_ptr<py::object> model) : model_(std::move(model)) {}
  void load() override {
    py::gil_scoped_acquire gil;
    model_->attr("load")();
  }
  void reset() override {
    py::gil_scoped_acquire gil;
    model_->attr("reset")();
  }
  std::string generate(const std::string& text, const std::string& language) override {
    py::gil_scoped_acquire gil;
    return model_->attr("generate")(text, py::arg("language") = language).cast<std::string>();
  }

 private:
  std::shared_ptr<py::object> model_;
};

// Each options struct as the keyword arguments of its class, in order. The two FunASR structs
// and the two SenseVoice ones begin with the same fields.
template <class FunASROptions>
py::dict funasr_kwargs(const FunASROptions& o) {
  py::dict d;
  d["model"] = o.model;
  d["model_path"] = o.model_path;
  d["revision"] = o.revision;
  d["device"] = o.device;
  return d;
}
template <class SenseVoiceOptions>
py::dict sensevoice_kwargs(const SenseVoiceOptions& o) {
  py::dict d;
  d["model"] = o.model;
  d["tokens"] = o.tokens;
  d["num_threads"] = o.num_threads;
  d["use_itn"] = o.use_itn;
  d["language"] = o.language;
  d["device"] = o.device;
  return d;
}
py::dict kwargs_of(const models::FunASROfflineOptions& o) { return funasr_kwargs(o); }
py::dict kwargs_of(const models::FunASRStreamOptions& o) {
  py::dict d = funasr_kwargs(o);
  d["chunk_size"] = o.chunk_size;
  d["encoder_chunk_look_back"] = o.encoder_chunk_look_back;
  d["decoder_chunk_look_back"] = o.decoder_chunk_look_back;
  return d;
}
py::dict kwargs_of(const models::SenseVoiceOfflineASROptions& o) { return sensevoice_kwargs(o); }
py::dict kwargs_of(const models::SenseVoiceStreamASROptions& o) {
  py::dict d = sensevoice_kwargs(o);
  d["vad_model"] = o.vad_model;
  d["vad_threshold"] = o.vad_threshold;
  d["vad_min_silence_duration"] = o.vad_min_silence_duration;
  d["vad_min_speech_duration"] = o.vad_min_speech_duration;
  d["vad_max_speech_duration"] = o.vad_max_speech_duration;
  d["sample_rate"] = o.sample_rate;
  return d;
}
py::dict kwargs_of(const models::PunctuationModelOptions& o) {
  py::dict d;
  d["model"] = o.model;
  d["revision"] = o.revision;
  d["device"] = o.device;
  return d;
}

template <class Options>
models::BaseASROptions base_of(const Options& o) {
  if constexpr (requires { o.revision; }) {
    return {.model = o.model, .revision = o.revision, .device = o.device};
  } else {
    return {.model = o.model, .device = o.device};
  }
}

template <class Class>
void provide_python(const py::object& factory) {
  if (factory.is_none()) {
    models::provide<Class>(nullptr);
    return;
  }
  auto f = hold(factory);
  models::provide<Class>(
      [f](const typename Class::Options& o) -> std::unique_ptr<typename Class::Engine> {
        py::gil_scoped_acquire gil;
        py::object made = (*f)(**kwargs_of(o));
        if (made.is_none()) return nullptr;
        if constexpr (std::is_same_v<typename Class::Engine, models::PunctuationModel>) {
          return std::make_unique<PyPunctuation>(hold(std::move(made)));
        } else {
          return std::make_unique<PyEngine>(hold(std::move(made)), base_of(o));
        }
      });
}

}  // namespace

void bind_engines(py::module_& m) {
  static const std::map<std::string, void (*)(const py::object&)> classes = {
      {"ParaformerStreamASR", &provide_python<models::ParaformerStreamASR>},
      {"ParaformerOfflineASR", &provide_python<models::ParaformerOfflineASR>},
      {"SenseVoiceStreamASR", &provide_python<models::SenseVoiceStreamASR>},
      {"SenseVoiceOfflineASR", &provide_python<models::SenseVoiceOfflineASR>},
      {"SenseVoiceStreamingFunASR", &provide_python<models::SenseVoiceStreamingFunASR>},
      {"SenseVoiceOfflineFunASR", &provide_python<models::SenseVoiceOfflineFunASR>},
      {"PunctuationModel", &provide_python<models::PunctuationModel>},
  };
  m.def(
      "provide",
      [](const std::string& class_name, const py::object& factory) {
        const auto it = classes.find(class_name);
        if (it == classes.end()) {
          std::string known;
          for (const auto& [name, _] : classes) known += (known.empty() ? "" : ", ") + name;
          throw py::value_error("unknown engine class '" + class_name + "'; the classes are " +
                                known);
        }
        it->second(factory);
      },
      py::arg("class_name"), py::arg("factory"),
      "Plugs in the host's engine class: factory(**kwargs) returns the engine (or None); None "
      "as the factory removes the class.");
  py::register_exception<models::MissingEngineError>(m, "MissingEngineError", PyExc_LookupError);
  m.def(
      "set_sensevoice_available", [](bool available) { models::SENSEVOICE_AVAILABLE = available; },
      py::arg("available"),
      "Says whether the host's SenseVoice runtime is usable: without it, load() of a SenseVoice "
      "family raises ImportError.");
  m.def("sensevoice_available", [] { return models::SENSEVOICE_AVAILABLE.load(); });
}

}  // namespace quern_py
