/*
 * RC file store: look up and update single values in group/key=value text
 * files.  Usable from C99 and C++.
 *
 * File format: "[group]" header lines and "key=value" entry lines, each
 * ended by a newline.  A group's entries run from its header to the next
 * line that begins with '['.  Matching is byte-exact and case-sensitive;
 * the first matching header, and within it the first matching entry, win.
 * A last line without a newline is not a line: nothing on it is found.
 *
 * Every call loads the whole file, works on it in memory and releases it
 * before it returns; nothing is cached between calls.  The calls are not
 * reentrant and must not be made from signal handlers.
 */
#ifndef VDL_RCFILE_H
#define VDL_RCFILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size in bytes that the value buffer of vdlGetRCFileValue must hold. */
#define VDL_RC_VALUE_SIZE 256

/* Longest group name, key and key+value the store accepts. */
#define VDL_RC_GROUP_MAX 252
#define VDL_RC_KEY_MAX 254
#define VDL_RC_ENTRY_MAX 253

/* Longest line the store reads whole; longer lines are cut to this. */
#define VDL_RC_LINE_MAX 1023

/* To be completed by the module's implementation. */
int32_t vdlGetRCFileValue(const char *path, const char *group,
                          const char *key, char *value);
int32_t vdlSetRCFileValue(const char *path, const char *group,
                          const char *key, const char *value);
int32_t vdlSpaceCut(char *text);

#ifdef __cplusplus
}
#endif

#endif
