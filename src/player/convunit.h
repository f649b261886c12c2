// Thousands grouping of the player's size report.
#ifndef VDL_SRC_PLAYER_CONVUNIT_H
#define VDL_SRC_PLAYER_CONVUNIT_H

#include <stdint.h>

// Writes value in decimal into dest, its size bytes first all zeroed.
// Values of 1000 and more get a ',' between every group of three digits
// ("2,147,483,647"); smaller and negative values are plain ("-1234").
// Returns the length of the text, or 0 when the text and its terminator do
// not fit in size bytes (dest then stays all zero).
int32_t ConvUnitString(int32_t value, char *dest, uint32_t size);

#endif
