// The stand-ins' process-wide journal and scripts.
#include "testing/stand_ins/stand_in.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <stdexcept>
#include <thread>

#include "models/sensevoice_asr.h"
#include "testing/stand_ins/manual_clock.h"
#include "utils/thread_annotations.h"

namespace stand_in {
namespace {

struct State {
  utils::Mutex mutex;
  std::vector<Call> journal QUERN_GUARDED_BY(mutex);
  std::map<std::pair<std::string, std::string>, Behaviour, std::less<>> always
      QUERN_GUARDED_BY(mutex);
  std::map<std::pair<std::string, std::string>, std::deque<Behaviour>, std::less<>> queued
      QUERN_GUARDED_BY(mutex);
  std::map<std::string, bool, std::less<>> has_hotwords QUERN_GUARDED_BY(mutex);
};

void default_hotwords(State& s) QUERN_REQUIRES(s.mutex) {
  s.has_hotwords = {{"ParaformerStreamASR", true}, {"ParaformerOfflineASR", true}};
}

// Never destroyed: stand-ins may be called from host threads while the process exits.
State& state() {
  static State* s = [] {
    auto* st = new State;
    utils::MutexLock lock(st->mutex);
    default_hotwords(*st);
    return st;
  }();
  return *s;
}

std::atomic<bool> silent_mode{false};
std::atomic<bool> journal_on{false};

}  // namespace

void set_silent(bool s) { silent_mode.store(s, std::memory_order_relaxed); }
bool silent() noexcept { return silent_mode.load(std::memory_order_relaxed); }

void set_journal(bool on) { journal_on.store(on, std::memory_order_relaxed); }
bool journaling() noexcept { return journal_on.load(std::memory_order_relaxed); }

const std::string& Call::arg(std::string_view name) const {
  for (const auto& [k, v] : args) {
    if (k == name) return v;
  }
  throw std::out_of_range("stand_in::Call: no argument '" + std::string(name) + "' in " + str());
}

std::string Call::str() const {
  std::string out = engine + "." + op + "(";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += ", ";
    out += args[i].first + "=" + args[i].second;
  }
  return out + ")";
}

void on(std::string_view engine, std::string_view op, Behaviour b) {
  auto& s = state();
  utils::MutexLock lock(s.mutex);
  s.always[{std::string(engine), std::string(op)}] = std::move(b);
}

void once(std::string_view engine, std::string_view op, Behaviour b) {
  auto& s = state();
  utils::MutexLock lock(s.mutex);
  s.queued[{std::string(engine), std::string(op)}].push_back(std::move(b));
}

void set_has_hotwords(std::string_view engine, bool has) {
  auto& s = state();
  utils::MutexLock lock(s.mutex);
  s.has_hotwords[std::string(engine)] = has;
}

bool has_hotwords_switch(std::string_view engine) {
  auto& s = state();
  utils::MutexLock lock(s.mutex);
  auto it = s.has_hotwords.find(engine);
  return it != s.has_hotwords.end() && it->second;
}

std::vector<Call> journal() {
  auto& s = state();
  utils::MutexLock lock(s.mutex);
  return s.journal;
}

std::vector<Call> journal_of(std::string_view engine) {
  auto& s = state();
  utils::MutexLock lock(s.mutex);
  std::vector<Call> out;
  for (const auto& c : s.journal) {
    if (c.engine == engine) out.push_back(c);
  }
  return out;
}

void clear_journal() {
  auto& s = state();
  utils::MutexLock lock(s.mutex);
  s.journal.clear();
}

void clear() {
  auto& s = state();
  {
    utils::MutexLock lock(s.mutex);
    s.journal.clear();
    s.always.clear();
    s.queued.clear();
    default_hotwords(s);
  }
  set_silent(false);
  models::SENSEVOICE_AVAILABLE = true;
}

Behaviour record(std::string_view engine, std::string_view op,
                 std::vector<std::pair<std::string, std::string>> args) {
  auto& s = state();
  Behaviour b;
  {
    utils::MutexLock lock(s.mutex);
    if (journaling())
      s.journal.push_back(Call{std::string(engine), std::string(op), std::move(args)});
    const std::pair<std::string, std::string> key{std::string(engine), std::string(op)};
    if (auto q = s.queued.find(key); q != s.queued.end() && !q->second.empty()) {
      b = std::move(q->second.front());
      q->second.pop_front();
    } else if (auto a = s.always.find(key); a != s.always.end()) {
      b = a->second;
    }
  }
  // Run the script outside the mutex: a callback may look at the journal or script more calls.
  if (b.callback) b.callback();
  if (b.elapsed > 0) {
    if (manual_clock_in_use()) {
      advance_clock(b.elapsed);
    } else {
      std::this_thread::sleep_for(std::chrono::duration<double>(b.elapsed));
    }
  }
  if (b.error) throw std::runtime_error(*b.error);
  return b;
}

std::string describe(const utils::AudioSamples& audio) {
  std::uint32_t hash = 2166136261u;
  audio.visit([&](auto span) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(span.data());
    for (std::size_t i = 0; i < span.size_bytes(); ++i) {
      hash = (hash ^ bytes[i]) * 16777619u;
    }
  });
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  return "AudioSamples(len=" + std::to_string(audio.size()) +
         ", dtype=" + std::string(audio.dtype_name()) + ", fnv=" + hex + ")";
}

std::string describe(const std::vector<std::string>& words) {
  std::string out = "[";
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i) out += ", ";
    out += "'" + words[i] + "'";
  }
  return out + "]";
}

std::string describe(const std::vector<int>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(values[i]);
  }
  return out + "]";
}

}  // namespace stand_in
