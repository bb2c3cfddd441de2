// Conversions between Python and the engine layer's types for the quern module: numpy arrays as
// AudioSamples without copies (both ways), result records as dicts, and Python objects held from
// C++ without the GIL.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>  // in every file of the module: one set of type casters

#include <memory>

#include "models/results.h"
#include "utils/audio_samples.h"

namespace quern_py {

namespace py = pybind11;

// A Python object owned from C++: the reference is dropped under the GIL, from whichever thread
// lets go of the last copy (an engine slot, a buffered chunk).
std::shared_ptr<py::object> hold(py::object object);

// The samples of a one-dimensional, C-contiguous numpy array of float32, float64, int16 or int32,
// adopted without a copy: the AudioSamples keeps the array alive. Other dtypes raise TypeError,
// other shapes or strides ValueError. REQUIRES: the GIL.
utils::AudioSamples samples_of(const py::handle& array);

// The samples as a numpy array of their element type, sharing their memory (read-only).
// REQUIRES: the GIL.
py::array array_of(const utils::AudioSamples& samples);

// A binding for a method whose one argument is audio: the samples are taken under the GIL, the
// method runs without it.
template <class C, class R>
auto with_audio(R (C::*method)(const utils::AudioSamples&)) {
  return [method](C& self, const py::handle& audio) -> R {
    const auto samples = samples_of(audio);
    py::gil_scoped_release nogil;
    return (self.*method)(samples);
  };
}

// Result records to a list of dicts and back. REQUIRES: the GIL.
py::list to_python(const models::ResultList& results);
models::ResultList results_of(const py::handle& list);
py::object to_python(const nlohmann::ordered_json& value);

}  // namespace quern_py
