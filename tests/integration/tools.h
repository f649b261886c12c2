// Finding the outside programs the integration tests drive.
#ifndef VDL_TESTS_INTEGRATION_TOOLS_H
#define VDL_TESTS_INTEGRATION_TOOLS_H

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace vdltest {

// The path of an executable NAME on PATH, or "" when there is none.
inline std::string FindOnPath(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

}  // namespace vdltest

// Skips the test when something it needs is missing; fails it in CI, where
// scripts/deps.sh has installed everything and a skip would hide a gap.
#define VDL_NEED(found, what)                                                  \
  do {                                                                         \
    if (!(found)) {                                                            \
      if (getenv("CI")) FAIL() << "missing " << (what);                        \
      GTEST_SKIP() << "needs " << (what) << " (scripts/deps.sh installs it)";  \
    }                                                                          \
  } while (0)

#endif
