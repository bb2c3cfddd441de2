// A fake Moonshine runtime adapter for tests: built as libquern_moonshine.so.1, so a test program
// that links it has "the runtime" and libnightjar binds it. It records every call in order and
// can be scripted: transcript lines, the values of get_model_for_language, failures per
// operation, and a hook run on every call (to advance the manual clock or to wait).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "utils/export.h"

namespace fake_moonshine {

// Calls as text, e.g. "get_model_for_language(zh)", "Transcriber(/fake/zh.bin, base)",
// "T1.start()", "T1.add_audio(1600, 16000)", "T1.stop()",
// "T1.transcribe_without_streaming(16000, sample_rate=16000, flags=0)". Transcribers are
// numbered T1, T2, ... in the order of their creation.
QUERN_VISIBLE std::vector<std::string> calls();

// The lines of every later transcript (default: {"fake transcript"}).
QUERN_VISIBLE void set_lines(std::vector<std::string> lines);
// What get_model_for_language returns (default: {"/fake/<language>.bin", "base"}); an empty
// list restores the default.
QUERN_VISIBLE void set_model_values(std::vector<std::string> values);
// The next call of `op` ("get_model_for_language", "Transcriber", "start", "add_audio", "stop",
// "transcribe_without_streaming") throws std::runtime_error(message); `times` calls in a row.
QUERN_VISIBLE void fail(const std::string& op, const std::string& message, int times = 1);
// The next call of `op` throws a value that is not a std::exception.
QUERN_VISIBLE void fail_oddly(const std::string& op);
// Runs on every call, with the operation's name, before it acts.
QUERN_VISIBLE void set_hook(std::function<void(const std::string& op)> hook);
// Forgets calls and scripts (transcriber numbering goes on).
QUERN_VISIBLE void reset();

}  // namespace fake_moonshine
