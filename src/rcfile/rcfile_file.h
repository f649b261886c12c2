// Whole-file input and atomic output for the RC file store.  Private to the
// module; prints nothing, the callers report.
#ifndef VDL_SRC_RCFILE_FILE_H
#define VDL_SRC_RCFILE_FILE_H

#include <stdint.h>

// Largest file the store loads: every edit adds at most a few hundred bytes,
// and the sizes stay within 32 bits.
constexpr int32_t kRCDataMax = INT32_MAX - 4096;

enum RCLoad {
  kRCLoaded,      // *data holds *size bytes in a buffer of *size + 1
  kRCMissing,     // the path names nothing (ENOENT)
  kRCUnreadable,  // exists but is not a regular file, or cannot be read whole
  kRCNoMemory,    // too large, or the buffer cannot be allocated
};

// Loads the whole file into a new malloc'd buffer.  On any result but
// kRCLoaded, *data is null and *size 0.
RCLoad ReadRCFile(const char *path, char **data, int32_t *size);

// Takes the update lock of the file that path leads to (through symbolic
// links): an flock on "<file>.lock" beside it, made when missing, waiting
// while another process holds it.  SIGINT, SIGTERM and SIGHUP are held
// back in the calling thread from then until UnlockRCFile, which removes
// the lock file.  Returns 1, or 0 when the lock file cannot be made or
// locked.
int32_t LockRCFile(const char *path);
void UnlockRCFile();

// Replaces the file that path leads to (through symbolic links) by size
// bytes of data: temporary file, fsync, rename.  Returns 1, or 0 with the
// old file untouched and the temporary file removed.
int32_t WriteRCFile(const char *path, const char *data, int32_t size);

#endif
