// CLI subagent client: succeeds unless a test forces a failure.
#include "clisubagent.h"

#include "mira/core/core_internal.h"
#include "mira/core/platform.h"

namespace {
bool failInit = false;
}

int cliSubagentInit(const char* processName, int) { return (failInit || !processName) ? -1 : 0; }

namespace mira {
void failCliSubagent(bool fail) { failInit = fail; }
namespace core {
void resetCli() { failInit = false; }
}  // namespace core
}  // namespace mira
