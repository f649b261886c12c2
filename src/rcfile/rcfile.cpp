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
// rest.  Loaded by the file operations, resized only through ChangeSize.
static char *g_pRCFileData = nullptr;
// Bytes of data in g_pRCFileData; 0 at rest.
static int32_t g_nSize = 0;
// Cursor: index of the next byte to read or, in an edit, to write; 0 at rest.
static int32_t g_nPos = 0;

static int32_t ByteCopy(char *dest, const char *src, int32_t count) {
  if (count <= 0) return 0;
  memcpy(dest, src, static_cast<size_t>(count));
  return count;
}

// realloc that leaves the old buffer valid on failure, so an edit that runs
// out of memory still has the data it started with.
static char *ChangeSize(char *buf, int32_t size) {
  return static_cast<char *>(realloc(buf, size > 0 ? static_cast<size_t>(size) : 1));
}

static void ReleaseRCData() {
  free(g_pRCFileData);
  g_pRCFileData = nullptr;
  g_nSize = 0;
  g_nPos = 0;
}

// Reads the line at the cursor into line (kLineSize bytes), keeping its
// first VDL_RC_LINE_MAX characters and skipping the rest, so one long line
// does not hide the lines after it.  A last line without a newline is not
// returned.  Callers that need the line's real length take it from the
// cursor, since a line may hold zero bytes or have been cut.
static int32_t GetRCLineChar(char *line) {
  int32_t n = 0;
  while (g_nPos < g_nSize) {
    char c = g_pRCFileData[g_nPos++];
    if (c == '\n') {
      line[n] = '\0';
      return 1;
    }
    if (n < kLineSize - 1) line[n++] = c;
  }
  line[n] = '\0';
  return 0;
}

// strncmp stops at a zero byte in the line, so a line holding one before
// the pattern's end never matches.
static int32_t LineStartsWith(const char *line, const char *pattern, int plen) {
  return strncmp(line, pattern, static_cast<size_t>(plen)) == 0;
}

static int32_t SeekRCGroup(const char *group) {
  char pattern[kPatternSize];
  int plen = snprintf(pattern, sizeof pattern, "[%s]", group);
  if (plen < 0 || plen >= kPatternSize) return 0;
  char line[kLineSize];
  while (g_nPos < g_nSize) {
    if (!GetRCLineChar(line)) return 0;
    if (LineStartsWith(line, pattern, plen)) return 1;
  }
  return 0;
}

// value must hold kLineSize bytes: a value can be as long as a line.
static int32_t GetRCKeyValue(const char *key, char *value) {
  char pattern[kPatternSize];
  int plen = snprintf(pattern, sizeof pattern, "%s=", key);
  if (plen < 0 || plen >= kPatternSize) return 0;
  char line[kLineSize];
  while (g_nPos < g_nSize) {
    if (!GetRCLineChar(line)) return 0;
    if (LineStartsWith(line, pattern, plen)) {
      memcpy(value, line + plen, strlen(line + plen) + 1);
      return 1;
    }
    if (line[0] == '[') return 0;
  }
  return 0;
}

// The insertion point for a new entry: the start of the line after the
// last line, at or before start, that holds '=' or ']'.  The group's header
// always supplies a ']', and a newline always follows it within the data;
// the bounds are kept all the same.
static int32_t BackSearchString(int32_t start) {
  g_nPos = start;
  while (g_nPos > 0 && g_pRCFileData[g_nPos] != '=' && g_pRCFileData[g_nPos] != ']') --g_nPos;
  while (g_nPos < g_nSize && g_pRCFileData[g_nPos] != '\n') ++g_nPos;
  if (g_nPos < g_nSize) ++g_nPos;
  return g_nPos;
}

// Saves the count bytes of data from index at into a new block, or gives
// *tail null for none.  Returns 0 when the block cannot be allocated.
static int32_t SaveTail(int32_t at, char **tail) {
  int32_t count = g_nSize - at;
  *tail = nullptr;
  if (count <= 0) return 1;
  *tail = static_cast<char *>(malloc(static_cast<size_t>(count)));
  if (!*tail) return 0;
  ByteCopy(*tail, g_pRCFileData + at, count);
  return 1;
}

// Case A: replaces the bytes from valueStart up to the newline just before
// the cursor by value.  Every allocation comes before the first change, so
// a failure leaves the data as it was.
static int32_t ReplaceRCValue(int32_t valueStart, const char *value) {
  int32_t oldLen = g_nPos - 1 - valueStart;
  int32_t newLen = static_cast<int32_t>(strlen(value));
  if (newLen == oldLen) {
    ByteCopy(g_pRCFileData + valueStart, value, newLen);
    return 1;
  }
  int32_t tailLen = g_nSize - g_nPos;
  char *tail;
  if (!SaveTail(g_nPos, &tail)) {
    fputs(kNoMemory, stderr);
    return 0;
  }
  int32_t newSize = g_nSize + newLen - oldLen;
  char *data = ChangeSize(g_pRCFileData, newSize);
  if (!data) {
    free(tail);
    fputs(kNoMemory, stderr);
    return 0;
  }
  g_pRCFileData = data;
  g_nSize = newSize;
  g_nPos = valueStart;
  g_nPos += ByteCopy(g_pRCFileData + g_nPos, value, newLen);
  g_pRCFileData[g_nPos++] = '\n';
  ByteCopy(g_pRCFileData + g_nPos, tail, tailLen);
  free(tail);
  return 1;
}

// Cases B and C: inserts "key=value\n" at index at.
static int32_t InsertRCEntry(int32_t at, const char *key, const char *value) {
  char entry[kPatternSize];
  int elen = snprintf(entry, sizeof entry, "%s=%s\n", key, value);
  if (elen < 0 || elen >= kPatternSize) return 0;
  int32_t tailLen = g_nSize - at;
  char *tail;
  if (!SaveTail(at, &tail)) {
    fputs(kNoMemory, stderr);
    return 0;
  }
  char *data = ChangeSize(g_pRCFileData, g_nSize + elen);
  if (!data) {
    free(tail);
    fputs(kNoMemory, stderr);
    return 0;
  }
  g_pRCFileData = data;
  g_nSize += elen;
  g_nPos = at + ByteCopy(g_pRCFileData + at, entry, elen);
  ByteCopy(g_pRCFileData + g_nPos, tail, tailLen);
  free(tail);
  return 1;
}

static int32_t SetRCKeyValue(const char *key, const char *value) {
  char pattern[kPatternSize];
  int plen = snprintf(pattern, sizeof pattern, "%s=", key);
  if (plen < 0 || plen >= kPatternSize) return 0;
  char line[kLineSize];
  while (g_nPos < g_nSize) {
    int32_t lineStart = g_nPos;
    if (!GetRCLineChar(line)) return 0;
    if (LineStartsWith(line, pattern, plen)) return ReplaceRCValue(lineStart + plen, value);
    if (line[0] == '[') return InsertRCEntry(BackSearchString(lineStart), key, value);
  }
  // The scan reached the end through complete lines, so the data ends with
  // a newline and the group's header stands before it.
  return InsertRCEntry(BackSearchString(g_nSize - 1), key, value);
}

// Appends the group and its entry.  The newline that ends an unterminated
// last line is added in the same resize, so running out of memory leaves
// the data exactly as it was loaded.
static int32_t SetRCGroupKeyValue(const char *group, const char *key, const char *value) {
  char header[kPatternSize];
  char entry[kPatternSize];
  int hlen = snprintf(header, sizeof header, "[%s]\n", group);
  int elen = snprintf(entry, sizeof entry, "%s=%s\n", key, value);
  if (hlen < 0 || hlen >= kPatternSize || elen < 0 || elen >= kPatternSize) return 0;
  int32_t newline = g_nSize > 0 && g_pRCFileData[g_nSize - 1] != '\n';
  int32_t newSize = g_nSize + newline + hlen + elen;
  char *data = ChangeSize(g_pRCFileData, newSize);
  if (!data) {
    fputs(kNoMemory, stderr);
    return 0;
  }
  g_pRCFileData = data;
  g_nPos = g_nSize;
  if (newline) g_pRCFileData[g_nPos++] = '\n';
  g_nPos += ByteCopy(g_pRCFileData + g_nPos, header, hlen);
  g_nPos += ByteCopy(g_pRCFileData + g_nPos, entry, elen);
  g_nSize = newSize;
  return 1;
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

int32_t vdlSetRCFileValue(const char *path, const char *group, const char *key,
                          const char *value) {
  if (!path || !group || !key || !value) return 0;
  if (strlen(group) > VDL_RC_GROUP_MAX || strlen(key) + strlen(value) > VDL_RC_ENTRY_MAX)
    return 0;
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
