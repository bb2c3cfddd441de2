// quern.Stream: one client stream's recognition for Python hosts. Each call returns the events it
// produced, in order: the Final of every utterance it ended, then the Partial of the open one.
// Calls run without the GIL.
#include "stream/stream.h"

#include "python/bindings.h"
#include "python/convert.h"

namespace quern_py {
namespace {

using quern::Final;
using quern::Partial;
using quern::Stream;
using quern::Update;
using quern::Word;

py::list events_of(Update update);

// Runs `call` on the stream without the GIL (it may wait for the stream's mutex, held by a call
// that needs the GIL for an engine written in Python or for the log), then makes the events.
template <class F>
py::list released(Stream& stream, F call) {
  Update update;
  {
    py::gil_scoped_release nogil;
    update = call(stream);
  }
  return events_of(std::move(update));
}

py::list events_of(Update update) {
  py::list events;
  for (auto& f : update.finals) events.append(py::cast(std::move(f)));
  if (update.partial) events.append(py::cast(std::move(*update.partial)));
  return events;
}

// Float samples as the stream takes them: float32 without a copy, float64 converted.
template <class F>
py::list with_floats(Stream& stream, const py::handle& audio, F feed) {
  const utils::AudioSamples samples = samples_of(audio);
  Update update;
  if (samples.dtype() == utils::DType::float32) {
    py::gil_scoped_release nogil;
    update = feed(stream, samples.as<float>());
  } else if (samples.dtype() == utils::DType::float64) {
    const auto doubles = samples.as<double>();
    std::vector<float> floats(doubles.begin(), doubles.end());
    py::gil_scoped_release nogil;
    update = feed(stream, std::span<const float>(floats));
  } else {
    throw py::type_error("quern.Stream takes float32 or float64 samples in [-1, 1], not " +
                         std::string(samples.dtype_name()) + " (divide int16 samples by 32768)");
  }
  return events_of(std::move(update));
}

}  // namespace

void bind_stream(py::module_& m) {
  py::class_<Word>(m, "Word")
      .def_readonly("word", &Word::word)
      .def_readonly("start", &Word::start)
      .def_readonly("end", &Word::end)
      .def_readonly("confidence", &Word::confidence)
      .def("__repr__", [](const Word& w) {
        return "Word(" + py::repr(py::str(w.word)).cast<std::string>() + ", " +
               std::to_string(w.start) + ", " + std::to_string(w.end) + ")";
      });
  py::class_<Final>(m, "Final")
      .def_readonly("segment", &Final::segment)
      .def_readonly("text", &Final::text)
      .def_readonly("start", &Final::start)
      .def_readonly("end", &Final::end)
      .def_property_readonly("reason",
                             [](const Final& f) { return std::string(quern::name_of(f.reason)); })
      .def_readonly("reason_text", &Final::reason_text)
      .def_readonly("words", &Final::words)
      .def_readonly("finalize_seconds", &Final::finalize_seconds)
      .def_readonly("error", &Final::error)
      .def("__repr__", [](const Final& f) {
        return "Final(segment=" + std::to_string(f.segment) +
               ", text=" + py::repr(py::str(f.text)).cast<std::string>() + ", reason='" +
               f.reason_text + "')";
      });
  py::class_<Partial>(m, "Partial")
      .def_readonly("segment", &Partial::segment)
      .def_readonly("time", &Partial::time)
      .def_property_readonly("results", [](const Partial& p) { return to_python(p.results); })
      .def("__repr__", [](const Partial& p) {
        return "Partial(segment=" + std::to_string(p.segment) + ", time=" + std::to_string(p.time) +
               ")";
      });

  py::class_<Stream>(m, "Stream")
      .def(py::init([](int sample_rate, std::string language, std::string hotwords,
                       double silence_timeout, double max_utterance,
                       std::shared_ptr<utils::vad::VADConfig> vad, bool defer_finals,
                       const py::kwargs& engines) {
             quern::StreamOptions o{
                 .vad = vad ? utils::vad::VADConfigFields(*vad) : utils::vad::VADConfigFields{},
                 .endpoint = {.silence_timeout = silence_timeout, .max_utterance = max_utterance},
                 .sample_rate = sample_rate,
                 .language = std::move(language),
                 .hotwords = std::move(hotwords),
                 .defer_finals = defer_finals};
             for (const auto& [key, value] : engines) {
               const auto name = key.cast<std::string>();
               if (name == "max_silence_duration" || name == "max_audio_samples" ||
                   name == "hotwords") {
                 throw py::type_error("Stream() takes " + name +
                                      " as silence_timeout, max_utterance or hotwords");
               }
               if (!set_dualis_option(o.engines, name, value)) {
                 throw py::type_error("Stream() got an unexpected keyword argument '" + name + "'");
               }
             }
             py::gil_scoped_release nogil;  // the detector may load its model and log
             return std::make_unique<Stream>(std::move(o));
           }),
           py::kw_only(), py::arg("sample_rate") = 16000, py::arg("language") = "auto",
           py::arg("hotwords") = "", py::arg("silence_timeout") = 3.0,
           py::arg("max_utterance") = 30.0, py::arg("vad") = py::none(),
           py::arg("defer_finals") = false,
           "Stream(*, sample_rate, language, hotwords, silence_timeout, max_utterance, vad "
           "(a quern.vad.VADConfig), defer_finals, **controller settings as quern.dualis.Dualis "
           "takes them)")
      .def("load", &Stream::load, py::call_guard<py::gil_scoped_release>())
      .def(
          "feed",
          [](Stream& s, const py::handle& audio) {
            return with_floats(s, audio,
                               [](Stream& st, std::span<const float> f) { return st.feed(f); });
          },
          py::arg("audio"),
          "The events of one chunk: finals of the utterances it ended, then a "
          "Partial.")
      .def(
          "poll", [](Stream& s) { return events_of(s.poll()); },
          "The silence timeout, for a host with a timer.")
      .def(
          "finish",
          [](Stream& s, bool shutdown) {
            return events_of(
                s.finish(shutdown ? quern::EndReason::shutdown : quern::EndReason::end_of_stream));
          },
          py::arg("shutdown") = false, "The end of the stream: the last final, if any.")
      .def("final_due", &Stream::final_due, py::call_guard<py::gil_scoped_release>())
      .def(
          "finalize_due", [](Stream& s) { return events_of(s.finalize_due()); },
          "With defer_finals: the due utterance's final, then what waited behind it.")
      .def_property_readonly("segment", &Stream::segment)
      .def_property_readonly("finished", &Stream::finished);
}

}  // namespace quern_py
