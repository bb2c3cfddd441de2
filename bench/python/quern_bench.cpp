// quern_bench: what the Python benchmark needs beside the quern module — the silent stand-in
// engines (an engine that does nothing), provided through the host seam as the C++ benchmark does.
#include <pybind11/pybind11.h>

#include "testing/stand_ins/stand_in.h"
#include "testing/stand_ins/stand_in_engine.h"

PYBIND11_MODULE(quern_bench, m) {
  m.def("provide_silent_engines", [] {
    stand_in::install();
    stand_in::clear();
    stand_in::set_silent(true);
  });
}
