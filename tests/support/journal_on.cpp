// Linked into every test executable that runs on the stand-ins: the tests read the stand-ins'
// journal, which is off in a host or a tool.
#include "platform/stand_in.h"

namespace {

[[maybe_unused]] const bool journal_on = [] {
  stand_in::set_journal(true);
  return true;
}();

}  // namespace
