// quern.dualis: the two-pass controller with its 30 keyword settings. Every operation runs without
// the GIL (engines written in Python take it back for their own calls), so a feeding thread, a
// polling thread and a finalising thread run in parallel.
#include "models/dualis/dualis.h"

#include "python/bindings.h"
#include "python/convert.h"

namespace quern_py {

using models::dualis::Dualis;
using models::dualis::DualisOptions;

bool set_dualis_option(DualisOptions& o, const std::string& name, const py::handle& value) {
#define QUERN_OPTION(field)                                 \
  if (name == #field) {                                     \
    o.field = value.cast<decltype(DualisOptions::field)>(); \
    return true;                                            \
  }
  QUERN_OPTION(model_type)
  QUERN_OPTION(stream_model)
  QUERN_OPTION(stream_model_path)
  QUERN_OPTION(stream_revision)
  QUERN_OPTION(offline_model)
  QUERN_OPTION(offline_model_path)
  QUERN_OPTION(offline_revision)
  QUERN_OPTION(punc_model)
  QUERN_OPTION(punc_model_path)
  QUERN_OPTION(punc_revision)
  QUERN_OPTION(device)
  QUERN_OPTION(chunk_size)
  QUERN_OPTION(encoder_chunk_look_back)
  QUERN_OPTION(decoder_chunk_look_back)
  QUERN_OPTION(max_silence_duration)
  QUERN_OPTION(max_audio_samples)
  QUERN_OPTION(sample_rate)
  QUERN_OPTION(enable_2pass)
  QUERN_OPTION(stream_tokens)
  QUERN_OPTION(offline_tokens)
  QUERN_OPTION(num_threads)
  QUERN_OPTION(use_itn)
  QUERN_OPTION(language)
  QUERN_OPTION(vad_model)
  QUERN_OPTION(vad_model_path)
  QUERN_OPTION(vad_threshold)
  QUERN_OPTION(vad_min_silence_duration)
  QUERN_OPTION(vad_min_speech_duration)
  QUERN_OPTION(vad_max_speech_duration)
  QUERN_OPTION(hotwords)
#undef QUERN_OPTION
  return false;
}

void bind_dualis(py::module_& m) {
  py::register_exception<models::dualis::ImportError>(m, "ImportError", PyExc_ImportError);

  py::class_<Dualis>(m, "Dualis")
      .def(py::init([](const py::kwargs& settings) {
             DualisOptions o;
             for (const auto& [key, value] : settings) {
               const auto name = key.cast<std::string>();
               if (!set_dualis_option(o, name, value)) {
                 throw py::type_error("Dualis() got an unexpected keyword argument '" + name + "'");
               }
             }
             return std::make_unique<Dualis>(std::move(o));
           }),
           "Dualis(**settings): every setting by name, with the C++ defaults.")
      .def("load", &Dualis::load, py::call_guard<py::gil_scoped_release>())
      .def("_sync_hotwords", &Dualis::_sync_hotwords, py::call_guard<py::gil_scoped_release>())
      .def("reset", &Dualis::reset, py::call_guard<py::gil_scoped_release>())
      .def("append_audio", with_audio(&Dualis::append_audio), py::arg("audio"))
      .def("get_audio_buffer",
           [](Dualis& d) {
             utils::AudioSamples joined;
             {
               py::gil_scoped_release nogil;
               joined = d.get_audio_buffer();
             }
             return array_of(joined);
           })
      .def("get_audio_buffer_length", &Dualis::get_audio_buffer_length,
           py::call_guard<py::gil_scoped_release>())
      .def("clear_audio_buffer", &Dualis::clear_audio_buffer,
           py::call_guard<py::gil_scoped_release>())
      .def("check_finalization_needed", &Dualis::check_finalization_needed,
           py::call_guard<py::gil_scoped_release>())
      .def(
          "stream_generate",
          [](Dualis& d, const py::handle& audio, bool is_final, const std::string& language) {
            const auto samples = samples_of(audio);
            std::pair<models::ResultList, bool> out;
            {
              py::gil_scoped_release nogil;
              out = d.stream_generate(samples, is_final, language);
            }
            return py::make_tuple(to_python(out.first), out.second);
          },
          py::arg("audio"), py::arg("is_final") = false, py::arg("language") = "zh")
      .def("offline_refine", &Dualis::offline_refine, py::arg("language") = "zh",
           py::call_guard<py::gil_scoped_release>())
      .def("finalize", &Dualis::finalize, py::call_guard<py::gil_scoped_release>())
      .def("set_hotwords", &Dualis::set_hotwords, py::arg("words"),
           py::call_guard<py::gil_scoped_release>())
      .def_property(
          "hotwords", [](Dualis& d) { return d.get_hotwords(); }, &Dualis::set_hotwords)
      .def_readwrite("model_type", &Dualis::model_type)
      .def_readwrite("stream_model_name", &Dualis::stream_model_name)
      .def_readwrite("stream_model_path", &Dualis::stream_model_path)
      .def_readwrite("stream_revision", &Dualis::stream_revision)
      .def_readwrite("offline_model_name", &Dualis::offline_model_name)
      .def_readwrite("offline_model_path", &Dualis::offline_model_path)
      .def_readwrite("offline_revision", &Dualis::offline_revision)
      .def_readwrite("punc_model_name", &Dualis::punc_model_name)
      .def_readwrite("punc_model_path", &Dualis::punc_model_path)
      .def_readwrite("punc_revision", &Dualis::punc_revision)
      .def_readwrite("device", &Dualis::device)
      .def_readwrite("chunk_size", &Dualis::chunk_size)
      .def_readwrite("encoder_chunk_look_back", &Dualis::encoder_chunk_look_back)
      .def_readwrite("decoder_chunk_look_back", &Dualis::decoder_chunk_look_back)
      .def_readwrite("max_silence_duration", &Dualis::max_silence_duration)
      .def_readwrite("max_audio_samples", &Dualis::max_audio_samples)
      .def_readwrite("sample_rate", &Dualis::sample_rate)
      .def_readwrite("enable_2pass", &Dualis::enable_2pass)
      .def_readwrite("stream_tokens", &Dualis::stream_tokens)
      .def_readwrite("offline_tokens", &Dualis::offline_tokens)
      .def_readwrite("num_threads", &Dualis::num_threads)
      .def_readwrite("use_itn", &Dualis::use_itn)
      .def_readwrite("language", &Dualis::language)
      .def_readwrite("vad_model", &Dualis::vad_model)
      .def_readwrite("vad_model_path", &Dualis::vad_model_path)
      .def_readwrite("vad_threshold", &Dualis::vad_threshold)
      .def_readwrite("vad_min_silence_duration", &Dualis::vad_min_silence_duration)
      .def_readwrite("vad_min_speech_duration", &Dualis::vad_min_speech_duration)
      .def_readwrite("vad_max_speech_duration", &Dualis::vad_max_speech_duration)
      .def_property_readonly("_is_finalized",
                             [](Dualis& d) {
                               utils::MutexLock lock(d._finalize_lock);
                               return d._is_finalized;
                             })
      .def_property_readonly("_last_audio_time",
                             [](const Dualis& d) { return d._last_audio_time.load(); })
      .def_property_readonly("_total_samples",
                             [](const Dualis& d) { return d._total_samples.load(); })
      .def_property_readonly("stream_asr", [](const Dualis& d) { return bool(d.stream_asr); })
      .def_property_readonly("offline_asr", [](const Dualis& d) { return bool(d.offline_asr); })
      .def_property_readonly("punc_model", [](const Dualis& d) { return bool(d.punc_model); });
}

}  // namespace quern_py
