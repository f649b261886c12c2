// Helpers shared by the tests: temporary directories, files, WAV fixtures,
// running a program with its output captured, and table rows.
#ifndef VDL_TESTS_TESTUTIL_H
#define VDL_TESTS_TESTUTIL_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace vdltest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string path;
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void WriteFile(const std::string &path, const std::string &bytes);
std::string ReadFile(const std::string &path);  // "" when missing
// Names in dir, sorted, without "." and "..": shows a temporary file left
// behind.
std::vector<std::string> ListDir(const std::string &dir);

// Little-endian bytes, as a WAV file holds its fields.
std::string Le32(int32_t v);

// The fields of a canonical 44-byte header; data follows as given.
struct WavFormat {
  int16_t channels = 1;
  int32_t rate = 8000;
  int16_t bits = 8;
  int32_t byteRate = -1;     // -1: rate * channels * bits / 8
  int32_t dataSize = -1;     // -1: data.size()
  int32_t fmtSize = 16;
  int16_t formatTag = 1;
};
std::string WavHeader(const WavFormat &format, std::size_t dataBytes);
// n bytes of a pattern that differs block to block, so a block dropped or
// sent twice shows in a comparison.
std::string Pattern(std::size_t n, unsigned seed = 1);
std::string MakeWav(const WavFormat &format, const std::string &data);

// Non-overlapping occurrences of what in text.
int Count(const std::string &text, const std::string &what);

// Runs fn with file descriptor 2 sent to a temporary file; returns what was
// written there (stdio is flushed before and after).
std::string CaptureStderr(const std::function<void()> &fn);

// The path of an executable NAME on PATH, or "" when there is none.
std::string FindOnPath(const std::string &name);

// The first file that matches one of the glob patterns, tried in order, or
// "" when none does: a library whose directory differs by architecture.
std::string FindFirstFile(const std::vector<std::string> &patterns);

// CLOCK_MONOTONIC in seconds.
double Now();

struct RunResult {
  int status = -1;        // exit status, or 128 + signal number
  std::string out, err;
};
// Runs argv[0] (a path) with the environment changed by env ("NAME=value"
// sets, "NAME" alone unsets).  stdin is /dev/null.  Kills the child and
// fails the result (status -1) after timeoutSec.
RunResult Run(const std::vector<std::string> &argv,
              const std::vector<std::string> &env = {},
              double timeoutSec = 30);

// Starts argv as Run does, but with stdout and stderr sent to the files
// named, and returns at once: the child's pid, or -1.
pid_t Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &outPath, const std::string &errPath);
// The exit status of pid (128 + signal number when killed), or -1 after
// timeoutSec, the child then killed.
int Wait(pid_t pid, double timeoutSec = 30);

// Names the cases of a table from the rows' `name`:
// INSTANTIATE_TEST_SUITE_P(Cases, Suite, ::testing::Values(...), ByName()).
struct ByName {
  template <class Info>
  std::string operator()(const Info &info) const {
    return info.param.name;
  }
};

}  // namespace vdltest

// Rows of a table (structs with a `name`) print as their name in gtest's
// listing and failure messages.  Once per test file, in its unnamed
// namespace, where gtest finds it beside the rows.
#define VDL_PRINT_ROWS_BY_NAME                                             \
  template <class Row>                                                     \
  auto operator<<(std::ostream &os, const Row &row)->decltype(row.name, os) { \
    return os << row.name;                                                 \
  }

#endif
