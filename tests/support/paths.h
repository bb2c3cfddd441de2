// Where the tests find the fixtures (made by scripts/make_fixtures.sh) and the shared
// recordings (present in CI, absent in a user's clone).
#pragma once

#include <filesystem>
#include <string>

namespace quern_test {

inline std::string fixture(const std::string& name) {
  return std::string(QUERN_TEST_FIXTURES) + "/" + name;
}

inline std::string shared_recording(const std::string& name) {
  return std::string(QUERN_TEST_SHARED_DATA) + "/" + name;
}

// The packaged model as a TorchScript file (its weights file lies beside it).
inline std::string packaged_torchscript() {
  return std::string(QUERN_TEST_FIXTURES) + "/../silero_vad.jit";
}

inline bool have(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace quern_test
