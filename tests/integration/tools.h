// What the integration tests do when an outside program they drive is
// missing (vdltest::FindOnPath finds them).
#ifndef VDL_TESTS_INTEGRATION_TOOLS_H
#define VDL_TESTS_INTEGRATION_TOOLS_H

#include <stdlib.h>

#include <gtest/gtest.h>

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
