// quern.log: the logger's level, and a sink that hands every message to Python's logging with
// its exact text.
#include <stdexcept>
#include <string>

#include "platform/quern_log.h"
#include "python/bindings.h"
#include "python/convert.h"

namespace quern_py {
namespace {

quern_log::Level level_of(const std::string& name) {
  if (name == "debug") return quern_log::Level::debug;
  if (name == "info") return quern_log::Level::info;
  if (name == "warning") return quern_log::Level::warning;
  if (name == "error") return quern_log::Level::error;
  throw py::value_error("level must be debug, info, warning or error, not " + name);
}

}  // namespace

void bind_log(py::module_& m) {
  m.def(
      "set_level", [](const std::string& level) { quern_log::logger.set_level(level_of(level)); },
      py::arg("level"), "Messages below the level (debug, info, warning, error) are dropped.");
  m.def("level", [] {
    switch (quern_log::logger.level()) {
      case quern_log::Level::debug:
        return "debug";
      case quern_log::Level::info:
        return "info";
      case quern_log::Level::warning:
        return "warning";
      case quern_log::Level::error:
        break;
    }
    return "error";
  });
  m.def(
      "forward_to_logging",
      [](const std::string& name) {
        // The levels are Python's own numbers (10, 20, 30, 40).
        auto logger = hold(py::module_::import("logging").attr("getLogger")(name));
        quern_log::logger.set_sink(std::make_shared<const quern_log::Sink>(
            [logger](quern_log::Level level, std::string_view message) {
              py::gil_scoped_acquire gil;
              try {
                logger->attr("log")(static_cast<int>(level),
                                    py::str(message.data(), message.size()));
              } catch (py::error_already_set& e) {
                // A handler or filter that raised: the Python error is dropped here, with the
                // GIL held, and the logger reports its first line (once) on stderr.
                const std::string what = e.what();
                throw std::runtime_error(what.substr(0, what.find('\n')));
              }
            }));
      },
      py::arg("name") = "quern",
      "Sends every message to logging.getLogger(name), at its level, with its exact text.");
  m.def(
      "to_stderr", [] { quern_log::logger.set_sink(nullptr); },
      "Back to the default sink: LEVEL message lines on stderr.");
}

}  // namespace quern_py
