// The packaged Silero model's location: beside the installed libraries (found with dladdr), or in
// the build tree; a host's locator replaces the lookup.
#include "platform/silero_package.h"

#include <dlfcn.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "utils/thread_annotations.h"

#if !defined(QUERN_BUILD_LIBRARY_DIR) || !defined(QUERN_BUILD_MODEL) || \
    !defined(QUERN_INSTALLED_MODEL)
#error "the build names the model's build-tree and installed locations"
#endif

namespace silero_vad {
namespace {

namespace fs = std::filesystem;

struct Locator {
  utils::Mutex mutex;
  std::shared_ptr<const PackageLocator> fn QUERN_GUARDED_BY(mutex);
};

Locator& locator() {
  static Locator* const l = new Locator;  // never destroyed: callable while the process exits
  return *l;
}

// The folder this library was loaded from.
std::optional<fs::path> own_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&builtin_package_path), &info) == 0 || !info.dli_fname) {
    return std::nullopt;
  }
  std::error_code ec;
  const fs::path file = fs::canonical(info.dli_fname, ec);
  if (ec) return std::nullopt;
  return file.parent_path();
}

}  // namespace

std::optional<std::string> builtin_package_path() {
  const auto folder = own_folder();
  if (!folder) return std::nullopt;
  std::error_code ec;
  // Loaded from the build tree: the file the set-up step made. Installed: relative to the
  // libraries, wherever the prefix now is.
  const fs::path model = fs::equivalent(*folder, QUERN_BUILD_LIBRARY_DIR, ec)
                             ? fs::path(QUERN_BUILD_MODEL)
                             : *folder / QUERN_INSTALLED_MODEL;
  if (!fs::is_regular_file(model, ec)) return std::nullopt;
  return model.lexically_normal().string();
}

std::optional<std::string> load_silero_vad() {
  std::shared_ptr<const PackageLocator> fn;
  {
    auto& l = locator();
    utils::MutexLock lock(l.mutex);
    fn = l.fn;
  }
  return fn ? (*fn)() : builtin_package_path();
}

void set_package_locator(PackageLocator fn) {
  auto shared = fn ? std::make_shared<const PackageLocator>(std::move(fn)) : nullptr;
  auto& l = locator();
  utils::MutexLock lock(l.mutex);
  l.fn = std::move(shared);
}

}  // namespace silero_vad
