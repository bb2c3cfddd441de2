// Binding the Moonshine runtime adapter, once per process.
#include "models/nightjar/availability.h"

#include <dlfcn.h>

#include "platform/quern_log.h"

namespace models::nightjar {
namespace {

const runtime::Api* bind_runtime() {
  // RTLD_NODELETE and no dlclose: the entry points stay valid until the process ends. When a
  // program already links the adapter, dlopen finds that copy by its SONAME.
  void* handle = dlopen(runtime::kAdapterSoname, RTLD_NOW | RTLD_NODELETE);
  const runtime::Api* api = nullptr;
  if (handle) {
    if (auto entry =
            reinterpret_cast<runtime::AdapterEntry>(dlsym(handle, runtime::kAdapterEntry))) {
      api = entry();
    }
  }
  if (!api || !api->Transcriber || !api->TranscriptEventListener || !api->get_model_for_language) {
    quern_log::logger.warning(
        "moonshine-voice not installed. Install with: pip install moonshine-voice");
    return nullptr;
  }
  return api;
}

}  // namespace

const runtime::Api* moonshine_runtime() {
  // Decided on first use rather than at load time, so that the warning reaches the sink the host
  // has installed by then.
  static const runtime::Api* const api = bind_runtime();
  return api;
}

}  // namespace models::nightjar
