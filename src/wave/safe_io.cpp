// Output that is safe inside a signal handler.
#include "safe_io.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace vdlwave {

int WriteBlock(int fd, const void *buf, size_t len) {
  const char *p = static_cast<const char *>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (n == 0) {
      errno = EIO;
      return 0;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 1;
}

void WriteErrorLine(const char *const parts[], size_t count) {
  char line[256];
  size_t len = 0;
  for (size_t i = 0; i < count; ++i)
    for (const char *c = parts[i]; *c && len < sizeof line; ++c) line[len++] = *c;
  int saved = errno;
  WriteBlock(STDERR_FILENO, line, len);
  errno = saved;
}

char *FormatDecimal(int32_t value, char *buf) {
  char digits[12];
  int n = 0;
  // Work on the magnitude in 64 bits so INT32_MIN negates safely.
  int64_t v = value < 0 ? -static_cast<int64_t>(value) : value;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  char *p = buf;
  if (value < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
  return buf;
}

void PrintWriteError(int err) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 32)
  // A constant table: no locale, no allocation.
  const char *reason = strerrordesc_np(err);
#else
  const char *reason = strerror(err);
#endif
  char num[12];
  const char *parts[] = {"write /dev/dsp: ", reason ? reason : "Unknown error ",
                         reason ? "" : FormatDecimal(err, num), "\n"};
  WriteErrorLine(parts, 4);
}

}  // namespace vdlwave
