// Shared by the RC file store's tests: stderr capture and directory listing.
#ifndef VDL_TESTS_RCFILE_TEST_UTIL_H
#define VDL_TESTS_RCFILE_TEST_UTIL_H

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vdltest {

// Runs f with file descriptor 2 sent to a temporary file; returns what was
// written there.  The module prints with stdio, flushed before restoring.
template <class F>
std::string CaptureStderr(F f) {
  fflush(stderr);
  FILE *sink = tmpfile();
  int saved = dup(2);
  dup2(fileno(sink), 2);
  f();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  rewind(sink);
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, sink)) > 0) text.append(buf, n);
  fclose(sink);
  return text;
}

// Names in dir, sorted, without "." and "..": shows a temporary file left
// behind.
inline std::vector<std::string> ListDir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace vdltest

#endif
