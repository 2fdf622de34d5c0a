// The logic tests log to standard error rather than into the user's state
// folder (set before the first log line; ctest gives each test one
// environment variable of its own only).
#include <cstdlib>

namespace {
const bool kLogToStderr = [] { return ::setenv("TOLVANE_LOG_FILE", "-", 0) == 0; }();
}  // namespace
