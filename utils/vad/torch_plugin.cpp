// Finding and loading libquern_vad_torch.so with the dynamic loader.
#include "utils/vad/torch_plugin.h"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

namespace utils::vad::detail {

namespace {

constexpr const char* kPluginFile = "libquern_vad_torch.so";

// Beside libvad itself (in the build tree and installed alike), else by name.
std::string plugin_path() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&torch_plugin), &info) && info.dli_fname) {
    const auto beside = std::filesystem::path(info.dli_fname).parent_path() / kPluginFile;
    std::error_code ec;
    if (std::filesystem::exists(beside, ec)) return beside.string();
  }
  return kPluginFile;
}

const TorchPlugin& open_plugin() {
  const std::string path = plugin_path();
  // Never closed: loaded models keep running its code until the process ends.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    throw std::runtime_error("TorchScript models need libtorch, which could not be loaded: " +
                             std::string(dlerror()));
  }
  using Entry = const TorchPlugin* (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(handle, "quern_vad_torch_plugin"));
  if (!entry) throw std::runtime_error(path + " is not the TorchScript plugin of this libvad");
  return *entry();
}

}  // namespace

const TorchPlugin& torch_plugin() {
  // A failed load throws out of the initialisation, which the next call then runs again.
  static const TorchPlugin& plugin = open_plugin();
  return plugin;
}

}  // namespace utils::vad::detail
