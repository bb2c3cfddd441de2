// Linked into every test executable that runs on the stand-ins: they are provided through the
// host seam and their journal, which the tests read, is on (it is off in a host or a tool).
#include "testing/stand_ins/stand_in.h"
#include "testing/stand_ins/stand_in_engine.h"

namespace {

[[maybe_unused]] const bool stand_ins_on = [] {
  stand_in::install();
  stand_in::set_journal(true);
  return true;
}();

}  // namespace
