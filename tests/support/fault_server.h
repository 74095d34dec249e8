// A small scripted HTTP server of the tests' own (tests/support/fault_server.py) for the faults
// real servers do not show on demand.
#pragma once

#include <string>
#include <string_view>

namespace tolvane::testing {

class FaultServer;

}  // namespace tolvane::testing
