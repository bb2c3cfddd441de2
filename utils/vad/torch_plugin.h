// The TorchScript path as a library of its own, libquern_vad_torch.so, which links libtorch and
// is loaded at run time the first time a TorchScript file must run: libvad and every process
// that links it start without libtorch. Internal to libvad.
#pragma once

#include <memory>
#include <string>

#include "utils/export.h"
#include "utils/vad/model_backend.h"

namespace utils::vad::detail {

// What the plugin offers. Errors leave it as std::runtime_error (std::invalid_argument for a
// caller's mistake) whose message is one line, without libtorch's backtrace.
struct TorchPlugin {
  // Loads a TorchScript file onto `device`.
  std::unique_ptr<ModelBackend> (*load)(const std::string& path, const std::string& device);
};

// The plugin, loaded on first call from beside libvad (else by name, through the loader's search
// path). Throws std::runtime_error saying so when it cannot be loaded (it or libtorch absent); a
// later call tries again.
const TorchPlugin& torch_plugin();

}  // namespace utils::vad::detail

// The plugin's one exported symbol.
extern "C" QUERN_VISIBLE const utils::vad::detail::TorchPlugin* quern_vad_torch_plugin();
