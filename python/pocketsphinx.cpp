// quern.dualis.use_pocketsphinx: the pocketsphinx recognisers plugged into the seam from Python.
#include "engines/pocketsphinx/pocketsphinx_engines.h"
#include "python/bindings.h"
#include "python/convert.h"

namespace quern_py {

void bind_pocketsphinx(py::module_& m) {
  m.def(
      "use_pocketsphinx",
      [](const std::string& model_dir, int sample_rate, std::size_t max_idle_decoders) {
        engines::pocketsphinx::provide({.model_dir = model_dir,
                                        .sample_rate = sample_rate,
                                        .max_idle_decoders = max_idle_decoders});
      },
      py::kw_only(), py::arg("model_dir") = engines::pocketsphinx::Config{}.model_dir,
      py::arg("sample_rate") = 16000, py::arg("max_idle_decoders") = 32,
      "Provides pocketsphinx's US English recognisers (16 kHz audio) for the default family's "
      "engine classes and a rule-based punctuation model: Dualis() then recognises English "
      "words. Raises ValueError for another sample rate; load() raises naming a missing model.");
}

}  // namespace quern_py
