// Whole-file input and atomic output for the RC file store: a failed write
// must never cost the user the file they had.
#include "rcfile_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinkHops = 40;

// The update lock, taken by LockRCFile and let go by UnlockRCFile: the
// locked lock file's descriptor, -1 at rest;
static int g_lockFd = -1;
// its path, meaningful only while it is held;
static char g_lockPath[PATH_MAX];
// the calling thread's signal mask from before, restored when it is let go.
static sigset_t g_savedMask;

static int OpenForReading(const char *path) {
  int fd;
  // O_NONBLOCK: a FIFO must not hang the open; it is refused below anyway.
  do {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Reads exactly size bytes; a short file (it shrank, or a read error) fails
// so that bytes never read cannot reach the data.
static int32_t ReadAll(int fd, char *buf, int32_t size) {
  int32_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf + got, static_cast<size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    got += static_cast<int32_t>(n);
  }
  return 1;
}

RCLoad ReadRCFile(const char *path, char **data, int32_t *size) {
  *data = nullptr;
  *size = 0;
  int fd = OpenForReading(path);
  if (fd < 0) return errno == ENOENT ? kRCMissing : kRCUnreadable;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kRCUnreadable;
  }
  if (st.st_size > kRCDataMax) {
    close(fd);
    return kRCNoMemory;
  }
  int32_t n = static_cast<int32_t>(st.st_size);
  char *buf = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (!buf) {
    close(fd);
    return kRCNoMemory;
  }
  int32_t ok = ReadAll(fd, buf, n);
  close(fd);
  if (!ok) {
    free(buf);
    return kRCUnreadable;
  }
  *data = buf;
  *size = n;
  return kRCLoaded;
}

// Follows symbolic links from path to the file they lead to, which need not
// exist yet (a dangling link gets its target created).  The result is
// written to target, PATH_MAX bytes.
static int32_t ResolveRCLink(const char *path, char *target) {
  if (snprintf(target, PATH_MAX, "%s", path) >= PATH_MAX) return 0;
  for (int hops = 0; hops < kMaxLinkHops; ++hops) {
    struct stat st;
    if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return 1;
    char link[PATH_MAX];
    ssize_t n = readlink(target, link, sizeof link - 1);
    if (n < 0) return 0;
    link[n] = '\0';
    // A relative link is relative to the directory holding the link.
    const char *slash = strrchr(target, '/');
    size_t dirLen = (link[0] == '/' || !slash) ? 0 : static_cast<size_t>(slash - target) + 1;
    if (dirLen + static_cast<size_t>(n) >= PATH_MAX) return 0;
    memcpy(target + dirLen, link, static_cast<size_t>(n) + 1);
  }
  return 0;
}

static int32_t WriteAll(int fd, const char *data, int32_t size) {
  int32_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    done += static_cast<int32_t>(n);
  }
  return 1;
}

// The mode a new file gets from open(..., 0666), which mkstemp's 0600 is
// not.  No threads here, so reading the umask by setting it is safe.
static mode_t NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The rename replaces the file whatever its permissions, where writing it
// in place would be refused: a file the user may not write stays as it is.
static int32_t MayReplace(const char *target) {
  return faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) == 0;
}

// Writes the temporary file and renames it over target; on any failure
// the temporary file goes.
static int32_t ReplaceRCFile(const char *target, char *temp, const struct stat *old,
                             const char *data, int32_t size) {
  int fd = mkstemp(temp);
  if (fd < 0) return 0;
  int32_t ok = 1;
  if (old && (old->st_uid != geteuid() || old->st_gid != getegid())) {
    // The file keeps its owner and group.  Only root may give a file away;
    // anyone else may still keep a group of their own, and otherwise the
    // replacement would change hands, which an edit in place never does.
    if (fchown(fd, old->st_uid, old->st_gid) != 0 && old->st_uid != geteuid()) ok = 0;
  }
  mode_t mode = old ? (old->st_mode & 07777) : NewFileMode();
  if (ok && fchmod(fd, mode) != 0) ok = 0;
  if (ok) ok = WriteAll(fd, data, size);
  if (ok && fsync(fd) != 0) ok = 0;
  if (close(fd) != 0) ok = 0;
  if (ok && rename(temp, target) != 0) ok = 0;
  if (!ok) unlink(temp);
  return ok;
}

int32_t WriteRCFile(const char *path, const char *data, int32_t size) {
  char target[PATH_MAX];
  char temp[PATH_MAX];
  if (!ResolveRCLink(path, target)) return 0;
  if (snprintf(temp, sizeof temp, "%s.XXXXXX", target) >= static_cast<int>(sizeof temp))
    return 0;
  struct stat old;
  int exists = stat(target, &old) == 0;
  if (exists && !MayReplace(target)) return 0;
  return ReplaceRCFile(target, temp, exists ? &old : nullptr, data, size);
}

// Opens the lock file, making it when missing; *made tells which.
static int OpenLockFile(bool *made) {
  for (;;) {
    *made = true;
    int fd = open(g_lockPath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
      *made = false;
      // O_NONBLOCK: a FIFO must not hang the open; it is refused after.
      fd = open(g_lockPath, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) continue;  // its holder removed it
    }
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// A lock on the target itself would not do: the write-back renames a new
// file over it, which the next writer would lock at once.  The lock file
// keeps its name through the update, and its holder removes it before
// letting go, so that none is left beside the user's file; whoever waited
// on the removed file then finds the name gone or taken, and tries again.
int32_t LockRCFile(const char *path) {
  char target[PATH_MAX];
  if (!ResolveRCLink(path, target) ||
      snprintf(g_lockPath, sizeof g_lockPath, "%s.lock", target) >=
          static_cast<int>(sizeof g_lockPath))
    return 0;
  int fd;
  for (;;) {
    bool made;
    fd = OpenLockFile(&made);
    if (fd < 0) return 0;
    int r;
    do {
      r = flock(fd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    struct stat locked, named;
    if (r != 0 || fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
      // A lock file of another's making may be held; one just made could be
      // locked only by others that fail as this one did (ENOLCK).
      if (made) unlink(g_lockPath);
      close(fd);
      return 0;
    }
    if (lstat(g_lockPath, &named) == 0 && named.st_dev == locked.st_dev &&
        named.st_ino == locked.st_ino)
      break;
    close(fd);
  }
  g_lockFd = fd;
  // Ending the process before UnlockRCFile would leave the temporary file
  // or the lock file behind.
  sigset_t held;
  sigemptyset(&held);
  sigaddset(&held, SIGINT);
  sigaddset(&held, SIGTERM);
  sigaddset(&held, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &held, &g_savedMask);
  return 1;
}

void UnlockRCFile() {
  if (g_lockFd < 0) return;
  // Removed while still held: see LockRCFile.
  unlink(g_lockPath);
  close(g_lockFd);
  g_lockFd = -1;
  pthread_sigmask(SIG_SETMASK, &g_savedMask, nullptr);
}
