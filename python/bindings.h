// The quern module's parts, one function each (module.cpp puts them together).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace models::dualis {
struct DualisOptions;
}

namespace quern_py {

namespace py = pybind11;

void bind_log(py::module_& m);           // quern.log
void bind_vad(py::module_& m);           // quern.vad
void bind_dualis(py::module_& m);        // quern.dualis
void bind_engines(py::module_& m);       // quern.dualis.provide
void bind_nightjar(py::module_& m);      // quern.nightjar
void bind_pocketsphinx(py::module_& m);  // quern.dualis.use_pocketsphinx, where built
void bind_stream(py::module_& m);        // quern.Stream and its events

// Sets the controller setting `name` of `o` from `value`, as Dualis(**settings) takes it; false
// for a name that is no setting.
bool set_dualis_option(models::dualis::DualisOptions& o, const std::string& name,
                       const py::handle& value);

}  // namespace quern_py
