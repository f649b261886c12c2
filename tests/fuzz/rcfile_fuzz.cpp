// Fuzzes the RC file store with arbitrary files and arguments.
//
// Input: GROUP \0 KEY \0 VALUE \0 FILE, where FILE is any bytes (zero bytes
// included) written as the RC file; a missing field is empty.  Each run
// looks up GROUP/KEY, sets it to VALUE, and checks the invariants below.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "vdl/rcfile.h"

#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "invariant broken: %s (line %d)\n", #cond, __LINE__); \
      abort();                                                             \
    }                                                                      \
  } while (0)

namespace {

std::string g_dir;   // scratch directory, made once per process
std::string g_path;  // the RC file inside it

void RemoveScratch() {
  unlink(g_path.c_str());
  rmdir(g_dir.c_str());
}

void WriteBytes(const std::string &bytes) {
  FILE *f = fopen(g_path.c_str(), "wb");
  CHECK(f != nullptr);
  CHECK(fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  CHECK(fclose(f) == 0);
}

std::string ReadBytes() {
  std::string bytes;
  FILE *f = fopen(g_path.c_str(), "rb");
  CHECK(f != nullptr);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  fclose(f);
  return bytes;
}

// The scratch directory holds the RC file and nothing else: no temporary
// file survives an update, failed or not.
bool OnlyTheFileIsLeft() {
  DIR *d = opendir(g_dir.c_str());
  CHECK(d != nullptr);
  int others = 0;
  while (dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
        strcmp(e->d_name, "rc") != 0)
      ++others;
  }
  closedir(d);
  return others == 0;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string NextField(const uint8_t *&p, const uint8_t *end) {
  const uint8_t *z = static_cast<const uint8_t *>(memchr(p, 0, static_cast<size_t>(end - p)));
  if (!z) z = end;
  std::string field(reinterpret_cast<const char *>(p), static_cast<size_t>(z - p));
  p = z < end ? z + 1 : end;
  return field;
}

// When a lookup of the group and key must find what a successful update
// wrote:
// - no newline in group, key or value: each would split the line written;
// - the key does not begin with '[': such an entry line ends its own group.
bool LookupMustFind(const std::string &group, const std::string &key, const std::string &value) {
  if (group.find('\n') != std::string::npos || key.find('\n') != std::string::npos ||
      value.find('\n') != std::string::npos)
    return false;
  return key.empty() || key[0] != '[';
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/rcfuzz.XXXXXX";
  CHECK(mkdtemp(tmpl.data()) != nullptr);
  g_dir = tmpl;
  g_path = g_dir + "/rc";
  atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *p = data, *end = data + size;
  std::string group = NextField(p, end);
  std::string key = NextField(p, end);
  std::string value = NextField(p, end);
  std::string file(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p));
  WriteBytes(file);

  // Trimming cuts exactly the blanks at both ends.
  std::string text = value;
  CHECK(vdlSpaceCut(text.data()) == 1);
  CHECK(std::string(text.c_str()) == Trimmed(value));

  // A lookup writes at most VDL_RC_VALUE_SIZE bytes (the buffer is exactly
  // that, so ASan sees any overrun), returns a trimmed text, leaves the
  // buffer alone when it fails, and never touches the file.
  char *found = static_cast<char *>(malloc(VDL_RC_VALUE_SIZE));
  memset(found, '#', VDL_RC_VALUE_SIZE);
  int32_t r = vdlGetRCFileValue(g_path.c_str(), group.c_str(), key.c_str(), found);
  CHECK(r == 0 || r == 1);
  if (r == 1) {
    size_t n = strnlen(found, VDL_RC_VALUE_SIZE);
    CHECK(n < VDL_RC_VALUE_SIZE);
    CHECK(n == 0 || (!IsBlank(found[0]) && !IsBlank(found[n - 1])));
  } else {
    for (int i = 0; i < VDL_RC_VALUE_SIZE; ++i) CHECK(found[i] == '#');
  }
  CHECK(ReadBytes() == file);

  // A failed update leaves the file byte-identical; no update leaves a
  // temporary file behind.
  r = vdlSetRCFileValue(g_path.c_str(), group.c_str(), key.c_str(), value.c_str());
  CHECK(r == 0 || r == 1);
  std::string after = ReadBytes();
  CHECK(OnlyTheFileIsLeft());
  if (r == 0) CHECK(after == file);
  if (group.size() > VDL_RC_GROUP_MAX || key.size() + value.size() > VDL_RC_ENTRY_MAX)
    CHECK(r == 0);

  // After a successful update the entry is found with the value set,
  // trimmed, and setting the same value again rewrites the same bytes.
  if (r == 1 && LookupMustFind(group, key, value)) {
    CHECK(vdlGetRCFileValue(g_path.c_str(), group.c_str(), key.c_str(), found) == 1);
    CHECK(std::string(found) == Trimmed(value));
    CHECK(vdlSetRCFileValue(g_path.c_str(), group.c_str(), key.c_str(), value.c_str()) == 1);
    CHECK(ReadBytes() == after);
  }
  free(found);
  return 0;
}
