// quern._quern: the engine layer for Python hosts. The package quern (python/quern/) exposes its
// submodules as quern.vad, quern.dualis, quern.nightjar, quern.stream and quern.log.
#include "python/bindings.h"

PYBIND11_MODULE(_quern, m) {
  m.doc() = "The quern speech-recognition engine layer";
  auto log = m.def_submodule("log", "The engine layer's logger");
  quern_py::bind_log(log);
  auto vad = m.def_submodule("vad", "Voice activity detection");
  quern_py::bind_vad(vad);
  auto nightjar = m.def_submodule("nightjar", "The Moonshine engines");
  quern_py::bind_nightjar(nightjar);
  auto dualis = m.def_submodule("dualis", "The two-pass recognition controller");
  quern_py::bind_dualis(dualis);
  quern_py::bind_engines(dualis);
#ifdef QUERN_HAVE_POCKETSPHINX
  quern_py::bind_pocketsphinx(dualis);
#endif
  auto stream = m.def_submodule("stream", "One object per client audio stream");
  quern_py::bind_stream(stream);
}
