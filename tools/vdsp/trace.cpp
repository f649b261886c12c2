// Trace lines: one per device call, built on the caller's stack and
// appended to the trace file with a single write when the call returns.
#include "record.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>

#include "sys.h"
#include "vdsp.h"

namespace {

constexpr int64_t kNsPerMicro = 1000;
constexpr int kFdFailed = -2;

struct Named {
  int value;
  const char *name;
};

// Flag bits in the order they are printed; O_SYNC before O_DSYNC, whose
// bit it contains, and O_TMPFILE before O_DIRECTORY.
constexpr Named kOpenFlags[] = {
    {O_CREAT, "O_CREAT"},         {O_EXCL, "O_EXCL"},       {O_NOCTTY, "O_NOCTTY"},
    {O_TRUNC, "O_TRUNC"},         {O_APPEND, "O_APPEND"},   {O_NONBLOCK, "O_NONBLOCK"},
    {O_SYNC, "O_SYNC"},           {O_DSYNC, "O_DSYNC"},     {O_ASYNC, "O_ASYNC"},
    {O_DIRECT, "O_DIRECT"},       {O_TMPFILE, "O_TMPFILE"}, {O_DIRECTORY, "O_DIRECTORY"},
    {O_NOFOLLOW, "O_NOFOLLOW"},   {O_NOATIME, "O_NOATIME"}, {O_CLOEXEC, "O_CLOEXEC"},
    {O_PATH, "O_PATH"},
};

// Poll event bits in the order they are printed.
constexpr Named kPollBits[] = {
    {POLLIN, "POLLIN"},         {POLLPRI, "POLLPRI"},       {POLLOUT, "POLLOUT"},
    {POLLERR, "POLLERR"},       {POLLHUP, "POLLHUP"},       {POLLNVAL, "POLLNVAL"},
    {POLLRDNORM, "POLLRDNORM"}, {POLLRDBAND, "POLLRDBAND"}, {POLLWRNORM, "POLLWRNORM"},
    {POLLWRBAND, "POLLWRBAND"}, {POLLMSG, "POLLMSG"},       {POLLRDHUP, "POLLRDHUP"},
};

constexpr Named kErrnoNames[] = {
    {EINTR, "EINTR"},   {EAGAIN, "EAGAIN"}, {EBUSY, "EBUSY"},   {EINVAL, "EINVAL"},
    {EFAULT, "EFAULT"}, {EBADF, "EBADF"},   {ENOMEM, "ENOMEM"}, {EMFILE, "EMFILE"},
    {ENFILE, "ENFILE"}, {ENOENT, "ENOENT"}, {EACCES, "EACCES"}, {ENOSPC, "ENOSPC"},
    {ENODEV, "ENODEV"}, {ENOTTY, "ENOTTY"},
};

}  // namespace

// Trace file name, "" for none; written once at load.
static char g_cTracePath[kPathBytes];
// Trace descriptor: opened on the first line, kFdFailed if that failed.
static int g_fdTrace = -1;

void TraceSetup(const char *path) {
  g_cTracePath[0] = '\0';
  if (path && strlen(path) < kPathBytes) strcpy(g_cTracePath, path);
}


static void Put(TraceLine *line, char c) {
  if (line->len + 1 < kTraceLineBytes) line->text[line->len++] = c;
}

static void PutText(TraceLine *line, const char *text) {
  while (*text) Put(line, *text++);
}

static void PutUnsigned(TraceLine *line, uint64_t value, int minDigits) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 || n < minDigits);
  while (n > 0) Put(line, digits[--n]);
}

static void PutSigned(TraceLine *line, int64_t value) {
  if (value < 0) {
    Put(line, '-');
    PutUnsigned(line, 0 - static_cast<uint64_t>(value), 1);
  } else {
    PutUnsigned(line, static_cast<uint64_t>(value), 1);
  }
}

static void PutHex(TraceLine *line, uint64_t value) {
  static const char kHex[] = "0123456789abcdef";
  char digits[16];
  int n = 0;
  do {
    digits[n++] = kHex[value & 0xf];
    value >>= 4;
  } while (value > 0);
  PutText(line, "0x");
  while (n > 0) Put(line, digits[--n]);
}

static void PutSeconds(TraceLine *line, int64_t ns) {
  if (ns < 0) ns = 0;
  PutUnsigned(line, static_cast<uint64_t>(ns / kNsPerSecond), 1);
  Put(line, '.');
  PutUnsigned(line, static_cast<uint64_t>(ns % kNsPerSecond / kNsPerMicro), 6);
}

static void PutKey(TraceLine *line, const char *key) {
  Put(line, ' ');
  PutText(line, key);
  Put(line, '=');
}

void TraceBegin(TraceLine *line, const char *event) {
  line->len = 0;
  line->on = g_cTracePath[0] && g_fdTrace != kFdFailed;
  if (!line->on) return;
  PutSeconds(line, NowNs());
  Put(line, ' ');
  PutText(line, event);
}

void TraceWord(TraceLine *line, const char *word) {
  if (!line->on) return;
  static const char kHex[] = "0123456789abcdef";
  Put(line, ' ');
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(word); *p; ++p) {
    if (*p <= ' ' || *p >= 0x7f || *p == '\\' || *p == '=') {
      Put(line, '\\');
      Put(line, 'x');
      Put(line, kHex[*p >> 4]);
      Put(line, kHex[*p & 0xf]);
    } else {
      Put(line, static_cast<char>(*p));
    }
  }
}

void TraceWordHex(TraceLine *line, uint64_t value) {
  if (!line->on) return;
  Put(line, ' ');
  PutHex(line, value);
}

void TraceInt(TraceLine *line, const char *key, int64_t value) {
  if (!line->on) return;
  PutKey(line, key);
  PutSigned(line, value);
}

void TraceSeconds(TraceLine *line, const char *key, int64_t ns) {
  if (!line->on) return;
  PutKey(line, key);
  PutSeconds(line, ns);
}

void TraceErrno(TraceLine *line, int err) {
  if (!line->on) return;
  PutKey(line, "errno");
  for (const Named &e : kErrnoNames) {
    if (e.value == err) {
      PutText(line, e.name);
      return;
    }
  }
  PutSigned(line, err);
}

void TraceFlags(TraceLine *line, const char *key, int flags) {
  if (!line->on) return;
  PutKey(line, key);
  int access = flags & O_ACCMODE;
  if (access == O_RDONLY)
    PutText(line, "O_RDONLY");
  else if (access == O_WRONLY)
    PutText(line, "O_WRONLY");
  else if (access == O_RDWR)
    PutText(line, "O_RDWR");
  else
    PutHex(line, static_cast<unsigned>(access));
  unsigned rest = static_cast<unsigned>(flags) & ~static_cast<unsigned>(O_ACCMODE);
  for (const Named &f : kOpenFlags) {
    unsigned bits = static_cast<unsigned>(f.value);
    if ((rest & bits) == bits) {
      Put(line, '|');
      PutText(line, f.name);
      rest &= ~bits;
    }
  }
  if (rest) {
    Put(line, '|');
    PutHex(line, rest);
  }
}

void TracePollBits(TraceLine *line, const char *key, int bits) {
  if (!line->on) return;
  PutKey(line, key);
  unsigned rest = static_cast<unsigned>(bits) & 0xffffu;
  if (rest == 0) {
    Put(line, '0');
    return;
  }
  bool first = true;
  for (const Named &b : kPollBits) {
    unsigned bit = static_cast<unsigned>(b.value);
    if (rest & bit) {
      if (!first) Put(line, '|');
      PutText(line, b.name);
      rest &= ~bit;
      first = false;
    }
  }
  if (rest) {
    if (!first) Put(line, '|');
    PutHex(line, rest);
  }
}

void TraceEnd(TraceLine *line) {
  if (!line->on) return;
  if (g_fdTrace < 0) {
    int fd = SysOpen(g_cTracePath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_fdTrace = fd < 0 ? kFdFailed : SysMoveHigh(fd);
    if (g_fdTrace < 0) return;
  }
  line->text[line->len++] = '\n';  // Put keeps one byte free for this
  SysWriteAll(g_fdTrace, line->text, line->len);
}
