// RC file store: single values in group/key=value text files, found and
// changed by loading the whole file, editing it in memory and writing it
// back whole.
#include "vdl/rcfile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "rcfile_file.h"

// Work areas for the formatted patterns "[%s]", "[%s]\n", "%s=", "%s=%s\n".
constexpr int kPatternSize = 256;
// Line area: VDL_RC_LINE_MAX characters and a terminator.
constexpr int kLineSize = VDL_RC_LINE_MAX + 1;

static const char kNoMemory[] = "Error: Can't allocate memory (rc file i/o libray).";

// The file's content during one public operation, not terminated; null at
// rest.  Loaded by the file operations, changed only by SpliceRCData.
static char *g_pRCFileData = nullptr;
// Bytes of data in g_pRCFileData; 0 at rest.
static int32_t g_nSize = 0;
// Cursor: index of the next byte to read; 0 at rest.
static int32_t g_nPos = 0;

static void ReleaseRCData() {
  free(g_pRCFileData);
  g_pRCFileData = nullptr;
  g_nSize = 0;
  g_nPos = 0;
}

// Reads the line at the cursor into line (kLineSize bytes), keeping its
// first VDL_RC_LINE_MAX characters and skipping the rest, so one long line
// does not hide the lines after it.  A last line without a newline is a
// line all the same.  Returns 0 at the end of the data.  Callers that need
// the line's real length take it from the cursor, since a line may hold
// zero bytes or have been cut.
static int32_t GetRCLineChar(char *line) {
  if (g_nPos >= g_nSize) return 0;
  int32_t n = 0;
  while (g_nPos < g_nSize) {
    char c = g_pRCFileData[g_nPos++];
    if (c == '\n') break;
    if (n < kLineSize - 1) line[n++] = c;
  }
  line[n] = '\0';
  return 1;
}

enum RCScan {
  kRCFound,      // a line starts with the pattern
  kRCNextGroup,  // a group line came first (only when asked to stop there)
  kRCEnd,        // the data ended
};

// Reads lines from the cursor until one starts with pattern.  The line
// read last is left in line (kLineSize bytes), and its start in *lineStart.
// strncmp stops at a zero byte in the line, so a line holding one before
// the pattern's end never matches.
static RCScan ScanRCLines(const char *pattern, int plen, bool stopAtGroup, char *line,
                          int32_t *lineStart) {
  for (*lineStart = g_nPos; GetRCLineChar(line); *lineStart = g_nPos) {
    if (strncmp(line, pattern, static_cast<size_t>(plen)) == 0) return kRCFound;
    if (stopAtGroup && line[0] == '[') return kRCNextGroup;
  }
  return kRCEnd;
}

// Moves the cursor past the line "[group]".
static int32_t SeekRCGroup(const char *group) {
  char pattern[kPatternSize];
  int plen = snprintf(pattern, sizeof pattern, "[%s]", group);
  if (plen < 0 || plen >= kPatternSize) return 0;
  char line[kLineSize];
  int32_t lineStart;
  return ScanRCLines(pattern, plen, false, line, &lineStart) == kRCFound;
}

// Finds "key=" in the group at the cursor; value must hold kLineSize
// bytes, since a value can be as long as a line.
static int32_t GetRCKeyValue(const char *key, char *value) {
  char pattern[kPatternSize];
  int plen = snprintf(pattern, sizeof pattern, "%s=", key);
  if (plen < 0 || plen >= kPatternSize) return 0;
  char line[kLineSize];
  int32_t lineStart;
  if (ScanRCLines(pattern, plen, true, line, &lineStart) != kRCFound) return 0;
  memcpy(value, line + plen, strlen(line + plen) + 1);
  return 1;
}

// The insertion point for a new entry: the start of the line after the
// last line, at or before start, that holds '=' or ']', or the end of the
// data when that line is a last line without a newline.  The group's
// header always supplies a ']'; the bounds are kept all the same.
static int32_t BackSearchString(int32_t start) {
  int32_t at = start;
  while (at > 0 && g_pRCFileData[at] != '=' && g_pRCFileData[at] != ']') --at;
  while (at < g_nSize && g_pRCFileData[at] != '\n') ++at;
  return at < g_nSize ? at + 1 : at;
}

// What lines inserted at index at must begin with: a newline when they
// would otherwise continue a last line that has none.
static const char *LineBreakAt(int32_t at) {
  return at == g_nSize && g_nSize > 0 && g_pRCFileData[g_nSize - 1] != '\n' ? "\n" : "";
}

// Replaces the oldLen bytes at index at by the len bytes of text: every
// edit of the data is one of these.  The buffer only grows (a larger one
// than the data is harmless), and the one call that can fail comes before
// the first change, so running out of memory leaves the data as it was.
static int32_t SpliceRCData(int32_t at, int32_t oldLen, const char *text, int32_t len) {
  int32_t newSize = g_nSize - oldLen + len;
  if (newSize != g_nSize) {
    size_t capacity = static_cast<size_t>(newSize > g_nSize ? newSize : g_nSize);
    char *data = static_cast<char *>(realloc(g_pRCFileData, capacity));
    if (!data) {
      fputs(kNoMemory, stderr);
      return 0;
    }
    g_pRCFileData = data;
  }
  memmove(g_pRCFileData + at + len, g_pRCFileData + at + oldLen,
          static_cast<size_t>(g_nSize - at - oldLen));
  if (len > 0) memcpy(g_pRCFileData + at, text, static_cast<size_t>(len));
  g_nSize = newSize;
  return 1;
}

// Sets key in the group at the cursor: its first entry gets the new value
// (up to the newline), or a new entry goes after the group's last entry.
static int32_t SetRCKeyValue(const char *key, const char *value) {
  char pattern[kPatternSize];
  int plen = snprintf(pattern, sizeof pattern, "%s=", key);
  if (plen < 0 || plen >= kPatternSize) return 0;
  char line[kLineSize];
  int32_t lineStart;
  RCScan scan = ScanRCLines(pattern, plen, true, line, &lineStart);
  if (scan == kRCFound) {
    int32_t valueStart = lineStart + plen;
    // The line's newline, or the end of the data when it has none.
    int32_t valueEnd = g_pRCFileData[g_nPos - 1] == '\n' ? g_nPos - 1 : g_nPos;
    return SpliceRCData(valueStart, valueEnd - valueStart, value,
                        static_cast<int32_t>(strlen(value)));
  }
  // The group's header stands before the end of the data.
  int32_t at = BackSearchString(scan == kRCNextGroup ? lineStart : g_nSize - 1);
  char entry[kPatternSize + 1];
  int elen = snprintf(entry, sizeof entry, "%s%s=%s\n", LineBreakAt(at), key, value);
  if (elen < 0 || elen >= static_cast<int>(sizeof entry)) return 0;
  return SpliceRCData(at, 0, entry, elen);
}

// Appends the group and its entry.
static int32_t SetRCGroupKeyValue(const char *group, const char *key, const char *value) {
  char text[2 * kPatternSize];
  int len = snprintf(text, sizeof text, "%s[%s]\n%s=%s\n", LineBreakAt(g_nSize), group, key,
                     value);
  if (len < 0 || len >= static_cast<int>(sizeof text)) return 0;
  return SpliceRCData(g_nSize, 0, text, len);
}

int32_t vdlSpaceCut(char *text) {
  if (!text) return 1;
  size_t start = strspn(text, " \t");
  if (start > 0) memmove(text, text + start, strlen(text + start) + 1);
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t')) text[--n] = '\0';
  return 1;
}

int32_t vdlGetRCFileValue(const char *path, const char *group, const char *key, char *value) {
  if (!path || !group || !key || !value) return 0;
  if (strlen(group) > VDL_RC_GROUP_MAX || strlen(key) > VDL_RC_KEY_MAX) return 0;
  switch (ReadRCFile(path, &g_pRCFileData, &g_nSize)) {
    case kRCLoaded:
      break;
    case kRCNoMemory:
      fprintf(stderr, "%s\n", kNoMemory);
      return 0;
    case kRCMissing:
    case kRCUnreadable:
      fprintf(stderr, "Error: Can't open rc file (%s)\n", path);
      return 0;
  }
  g_nPos = 0;
  // The whole value is trimmed before it is cut to the caller's buffer, so
  // leading blanks do not eat into its length.
  char found[kLineSize];
  int32_t result = SeekRCGroup(group) && GetRCKeyValue(key, found);
  if (result) {
    vdlSpaceCut(found);
    size_t n = strnlen(found, VDL_RC_VALUE_SIZE - 1);
    memcpy(value, found, n);
    value[n] = '\0';
    vdlSpaceCut(value);
  }
  ReleaseRCData();
  return result;
}

// Loads, edits and writes back the file, under the update lock.
static int32_t UpdateRCFile(const char *path, const char *group, const char *key,
                            const char *value) {
  switch (ReadRCFile(path, &g_pRCFileData, &g_nSize)) {
    case kRCLoaded:
      break;
    case kRCMissing:
      fprintf(stderr, "Warring: Can't open rc file (%s). Create it.\n", path);
      g_pRCFileData = static_cast<char *>(malloc(1));
      if (g_pRCFileData) break;
      [[fallthrough]];
    case kRCNoMemory:
      fprintf(stderr, "%s\n", kNoMemory);
      return 0;
    case kRCUnreadable:
      // Content that was not read must not be replaced by the new group.
      fprintf(stderr, "Error: Can't open rc file (%s)\n", path);
      return 0;
  }
  g_nPos = 0;
  int32_t result = SeekRCGroup(group) ? SetRCKeyValue(key, value)
                                      : SetRCGroupKeyValue(group, key, value);
  // A failed edit leaves the data as loaded: nothing to write back.
  if (result && !WriteRCFile(path, g_pRCFileData, g_nSize)) {
    fprintf(stderr, "Error: Can't open rc file (%s)\n", path);
    result = 0;
  }
  ReleaseRCData();
  return result;
}

int32_t vdlSetRCFileValue(const char *path, const char *group, const char *key,
                          const char *value) {
  if (!path || !group || !key || !value) return 0;
  if (strlen(group) > VDL_RC_GROUP_MAX || strlen(key) + strlen(value) > VDL_RC_ENTRY_MAX)
    return 0;
  // Neither would ever be found again: the line written would be split.
  if (strchr(group, '\n') || strchr(key, '\n')) return 0;
  if (!LockRCFile(path)) {
    fprintf(stderr, "Error: Can't open rc file (%s)\n", path);
    return 0;
  }
  int32_t result = UpdateRCFile(path, group, key, value);
  UnlockRCFile();
  return result;
}
