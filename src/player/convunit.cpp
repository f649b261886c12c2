// Thousands grouping of the player's size report.
#include "convunit.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr int kScratchSize = 32;
constexpr int32_t kGroup = 1000;

// Appends value with its groups to text at len; returns the new length.
// The leading group is plain, every later one three digits wide; values
// below 1000, negative ones included, have a single plain group.
int AppendGrouped(int32_t value, char *text, int len) {
  if (value < kGroup) return len + snprintf(text + len, kScratchSize - len, "%d", value);
  len = AppendGrouped(value / kGroup, text, len);
  return len + snprintf(text + len, kScratchSize - len, ",%03d", value % kGroup);
}

}  // namespace

int32_t ConvUnitString(int32_t value, char *dest, uint32_t size) {
  memset(dest, 0, size);
  char text[kScratchSize];
  int len = AppendGrouped(value, text, 0);
  if (static_cast<uint32_t>(len) + 1 > size) return 0;
  memcpy(dest, text, static_cast<size_t>(len) + 1);
  return len;
}
