// Standard output captured around one call: the debug dumps print there,
// and the operator who asked for them over the control socket should see
// them too.
#pragma once
#include <functional>
#include <string>

namespace mira::control {

// Largest capture returned; the rest is still written to standard output.
inline constexpr size_t kMaxCapturedStdout = size_t{1024} * 1024;

// Runs fn with file descriptor 1 redirected to an anonymous file, then
// writes what fn printed to the real standard output as well and returns it.
// When the redirection cannot be set up, fn runs plainly and "" is returned.
std::string captureStdout(const std::function<void()>& fn);

}  // namespace mira::control
