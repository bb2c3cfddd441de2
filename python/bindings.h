// The quern module's parts, one function each (module.cpp puts them together).
#pragma once

#include <pybind11/pybind11.h>

namespace quern_py {

namespace py = pybind11;

void bind_log(py::module_& m);           // quern.log
void bind_vad(py::module_& m);           // quern.vad
void bind_dualis(py::module_& m);        // quern.dualis
void bind_engines(py::module_& m);       // quern.dualis.provide
void bind_nightjar(py::module_& m);      // quern.nightjar
void bind_pocketsphinx(py::module_& m);  // quern.dualis.use_pocketsphinx, where built

}  // namespace quern_py
