// The fake Moonshine runtime adapter (see fake_moonshine.h).
#include "tests/nightjar/fake_moonshine.h"

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>

#include "models/nightjar/moonshine_runtime.h"

namespace fake_moonshine {
namespace {

using namespace models::nightjar;

struct State {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<std::string> lines{"fake transcript"};
  std::vector<std::string> model_values;
  std::map<std::string, std::pair<std::string, int>> failures;
  std::map<std::string, bool> odd_failures;
  std::function<void(const std::string&)> hook;
  int transcribers = 0;
};

State& state() {
  static State* s = new State;
  return *s;
}

// Records the call, runs the hook, and throws when the operation is scripted to fail.
void enter(const std::string& op, const std::string& text) {
  auto& s = state();
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(s.mutex);
    s.calls.push_back(text);
    hook = s.hook;
  }
  if (hook) hook(op);
  std::lock_guard lock(s.mutex);
  if (auto it = s.odd_failures.find(op); it != s.odd_failures.end() && it->second) {
    it->second = false;
    throw 42;
  }
  if (auto it = s.failures.find(op); it != s.failures.end() && it->second.second > 0) {
    --it->second.second;
    throw std::runtime_error(it->second.first);
  }
}

class FakeTranscriber : public runtime::Transcriber {
 public:
  explicit FakeTranscriber(int id) : name_("T" + std::to_string(id)) {}

  runtime::Transcript transcribe_without_streaming(std::span<const float> audio, int sample_rate,
                                                   int flags) override {
    check_not_concurrent guard(busy_);
    enter("transcribe_without_streaming", name_ + ".transcribe_without_streaming(" +
                                              std::to_string(audio.size()) +
                                              ", sample_rate=" + std::to_string(sample_rate) +
                                              ", flags=" + std::to_string(flags) + ")");
    runtime::Transcript t;
    std::lock_guard lock(state().mutex);
    for (const auto& l : state().lines) t.lines.push_back({l});
    return t;
  }
  void start() override {
    check_not_concurrent guard(busy_);
    enter("start", name_ + ".start()");
  }
  void add_audio(std::span<const float> audio, int sample_rate) override {
    check_not_concurrent guard(busy_);
    enter("add_audio", name_ + ".add_audio(" + std::to_string(audio.size()) + ", " +
                           std::to_string(sample_rate) + ")");
  }
  void stop() override {
    check_not_concurrent guard(busy_);
    enter("stop", name_ + ".stop()");
  }

 private:
  // The engines promise to serialise calls on one transcriber: hold them to it.
  struct check_not_concurrent {
    explicit check_not_concurrent(std::atomic<bool>& b) : busy(b) {
      if (busy.exchange(true)) std::abort();
    }
    ~check_not_concurrent() { busy = false; }
    std::atomic<bool>& busy;
  };
  std::string name_;
  std::atomic<bool> busy_{false};
};

std::unique_ptr<runtime::Transcriber> make_transcriber(const std::string& model_path,
                                                       const std::string& model_arch) {
  enter("Transcriber", "Transcriber(" + model_path + ", " + model_arch + ")");
  std::lock_guard lock(state().mutex);
  return std::make_unique<FakeTranscriber>(++state().transcribers);
}

std::unique_ptr<runtime::TranscriptEventListener> make_listener() {
  return std::make_unique<runtime::TranscriptEventListener>();
}

std::vector<std::string> model_for_language(const std::string& language) {
  enter("get_model_for_language", "get_model_for_language(" + language + ")");
  std::lock_guard lock(state().mutex);
  if (!state().model_values.empty()) return state().model_values;
  return {"/fake/" + language + ".bin", "base"};
}

const runtime::Api api{
    .Transcriber = &make_transcriber,
    .TranscriptEventListener = &make_listener,
    .get_model_for_language = &model_for_language,
};

}  // namespace

std::vector<std::string> calls() {
  std::lock_guard lock(state().mutex);
  return state().calls;
}

void set_lines(std::vector<std::string> lines) {
  std::lock_guard lock(state().mutex);
  state().lines = std::move(lines);
}

void set_model_values(std::vector<std::string> values) {
  std::lock_guard lock(state().mutex);
  state().model_values = std::move(values);
}

void fail(const std::string& op, const std::string& message, int times) {
  std::lock_guard lock(state().mutex);
  state().failures[op] = {message, times};
}

void fail_oddly(const std::string& op) {
  std::lock_guard lock(state().mutex);
  state().odd_failures[op] = true;
}

void set_hook(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(state().mutex);
  state().hook = std::move(hook);
}

void reset() {
  std::lock_guard lock(state().mutex);
  auto& s = state();
  s.calls.clear();
  s.lines = {"fake transcript"};
  s.model_values.clear();
  s.failures.clear();
  s.odd_failures.clear();
  s.hook = nullptr;
}

}  // namespace fake_moonshine

extern "C" QUERN_VISIBLE const models::nightjar::runtime::Api* quern_moonshine_runtime_v1() {
  return &fake_moonshine::api;
}
