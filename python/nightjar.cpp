// quern.nightjar: the Moonshine engines and MOONSHINE_AVAILABLE. A recognition error arrives as
// quern.nightjar.MoonshineRecognitionError with the runtime's failure as its __cause__.
#include "models/nightjar/availability.h"
#include "models/nightjar/errors.h"
#include "models/nightjar/moonshine_offline_asr.h"
#include "models/nightjar/moonshine_stream_asr.h"
#include "python/bindings.h"
#include "python/convert.h"

namespace quern_py {
namespace {

using namespace models::nightjar;

// The failure nested in `e` as a Python exception (RuntimeError with its message), or None.
py::object cause_of(const std::exception& e) {
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    return py::reinterpret_steal<py::object>(
        PyObject_CallFunction(PyExc_RuntimeError, "s", inner.what()));
  } catch (...) {
    return py::reinterpret_steal<py::object>(
        PyObject_CallFunction(PyExc_RuntimeError, "s", "unknown failure"));
  }
  return py::none();
}

template <class Engine>
void bind_engine_calls(py::class_<Engine, models::BaseASR>& c) {
  c.def("load", &Engine::load, py::call_guard<py::gil_scoped_release>())
      .def("reset", &Engine::reset, py::call_guard<py::gil_scoped_release>())
      .def(
          "transcribe",
          [](Engine& e, const py::handle& audio, const std::string& language) {
            const auto samples = samples_of(audio);
            models::ResultList out;
            {
              py::gil_scoped_release nogil;
              out = e.transcribe(samples, language);
            }
            return to_python(out);
          },
          py::arg("audio"), py::arg("language") = "zh")
      .def_readonly("model", &Engine::model)
      .def_readonly("device", &Engine::device)
      .def_readonly("_is_loaded", &Engine::_is_loaded);
}

}  // namespace

void bind_nightjar(py::module_& m) {
  static py::exception<MoonshineRecognitionError> recognition_error(m, "MoonshineRecognitionError",
                                                                    PyExc_RuntimeError);
  py::register_exception<MoonshineUnavailableError>(m, "MoonshineUnavailableError",
                                                    PyExc_RuntimeError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const MoonshineRecognitionError& e) {
      py::object error = py::reinterpret_borrow<py::object>(recognition_error)(e.what());
      py::object cause = cause_of(e);
      if (!cause.is_none()) PyException_SetCause(error.ptr(), cause.release().ptr());
      PyErr_SetObject(recognition_error.ptr(), error.ptr());
    }
  });
  // Decided on first read, as in C++, so its warning reaches the sink the host installed by then.
  m.def("__getattr__", [](const std::string& name) -> py::object {
    if (name == "MOONSHINE_AVAILABLE") {
      bool available = false;
      {
        py::gil_scoped_release nogil;
        available = static_cast<bool>(MOONSHINE_AVAILABLE);
      }
      return py::bool_(available);
    }
    throw py::attribute_error("module 'quern.nightjar' has no attribute '" + name + "'");
  });

  py::class_<models::BaseASR>(m, "BaseASR");
  py::class_<MoonshineOfflineASR, models::BaseASR> offline(m, "MoonshineOfflineASR");
  offline.def(
      py::init([](std::string model, std::string device, std::string language, int sample_rate) {
        py::gil_scoped_release nogil;
        return std::make_unique<MoonshineOfflineASR>(
            MoonshineOfflineASROptions{.model = std::move(model),
                                       .device = std::move(device),
                                       .language = std::move(language),
                                       .sample_rate = sample_rate});
      }),
      py::kw_only(), py::arg("model") = "moonshine/base", py::arg("device") = "cpu",
      py::arg("language") = "zh", py::arg("sample_rate") = 16000);
  bind_engine_calls(offline);

  py::class_<MoonshineStreamASR, models::BaseASR> stream(m, "MoonshineStreamASR");
  stream.def(py::init([](std::string model, std::string device, std::string language,
                         double update_interval, int sample_rate) {
               py::gil_scoped_release nogil;
               return std::make_unique<MoonshineStreamASR>(
                   MoonshineStreamASROptions{.model = std::move(model),
                                             .device = std::move(device),
                                             .language = std::move(language),
                                             .update_interval = update_interval,
                                             .sample_rate = sample_rate});
             }),
             py::kw_only(), py::arg("model") = "moonshine/base", py::arg("device") = "cpu",
             py::arg("language") = "zh", py::arg("update_interval") = 0.3,
             py::arg("sample_rate") = 16000);
  bind_engine_calls(stream);
  stream.def(
      "stream_generate",
      [](MoonshineStreamASR& e, const py::handle& audio, bool is_final,
         const std::string& language) {
        const auto samples = samples_of(audio);
        models::ResultList out;
        {
          py::gil_scoped_release nogil;
          out = e.stream_generate(samples, is_final, language);
        }
        return to_python(out);
      },
      py::arg("audio"), py::arg("is_final") = false, py::arg("language") = "zh");
  stream.def_readonly("_streaming_started", &MoonshineStreamASR::_streaming_started);
}

}  // namespace quern_py
