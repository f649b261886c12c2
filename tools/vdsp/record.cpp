// What the virtual device leaves behind: trace lines and the file of the
// bytes it played (raw, or WAV with a header kept current after each
// append, so the file is whole however the process ends).
#include "vdsp.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int64_t kNsPerMicro = 1000;
constexpr size_t kWavHeaderBytes = 44;
constexpr uint32_t kMaxWavData = 0xFFFFFFFFu - 36;
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
};

}  // namespace

// Trace file name, "" for none; written once at load.
static char g_cTracePath[kPathBytes];
// Output file name, "" for none; written once at load.
static char g_cOutputPath[kPathBytes];
// The output name ends in ".wav".
static bool g_bWav;
// Trace descriptor: opened on the first line, kFdFailed if that failed.
static int g_fdTrace = -1;
// Output descriptor: opened at the first device open, kFdFailed if that failed.
static int g_fdOutput = -1;
// Bytes in the output after its header, including earlier processes' bytes.
static uint64_t g_nDataBytes;
// The format a WAV header describes; the device's defaults until set.
static int32_t g_nRate = 8000;
static int32_t g_nChannels = 1;
static int32_t g_nWidth = 1;

static void CopyPath(char *dst, const char *src) {
  dst[0] = '\0';
  if (src && strlen(src) < kPathBytes) strcpy(dst, src);
}

static bool EndsWithWav(const char *name) {
  size_t len = strlen(name);
  return len >= 4 && strcasecmp(name + len - 4, ".wav") == 0;
}

static bool WriteAll(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    ssize_t done = SysWrite(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

void RecordSetup(const char *tracePath, const char *outputPath) {
  CopyPath(g_cTracePath, tracePath);
  CopyPath(g_cOutputPath, outputPath);
  g_bWav = EndsWithWav(g_cOutputPath);
}

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// ---- trace lines ---------------------------------------------------------

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
  PutSeconds(line, NowNs());
  Put(line, ' ');
  PutText(line, event);
}

void TraceWord(TraceLine *line, const char *word) {
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
  Put(line, ' ');
  PutHex(line, value);
}

void TraceInt(TraceLine *line, const char *key, int64_t value) {
  PutKey(line, key);
  PutSigned(line, value);
}

void TraceText(TraceLine *line, const char *key, const char *value) {
  PutKey(line, key);
  PutText(line, value);
}

void TraceSeconds(TraceLine *line, const char *key, int64_t ns) {
  PutKey(line, key);
  PutSeconds(line, ns);
}

void TraceErrno(TraceLine *line, int err) {
  PutKey(line, "errno");
  for (const Named &e : kErrnoNames) {
    if (e.value == err) {
      PutText(line, e.name);
      return;
    }
  }
  PutSigned(line, err);
}

void TraceFlags(TraceLine *line, int flags) {
  PutKey(line, "flags");
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
  if (g_fdTrace == kFdFailed || !g_cTracePath[0]) return;
  if (g_fdTrace < 0) {
    int fd = SysOpen(g_cTracePath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_fdTrace = fd < 0 ? kFdFailed : SysMoveHigh(fd);
    if (g_fdTrace < 0) return;
  }
  line->text[line->len++] = '\n';  // Put keeps one byte free for this
  WriteAll(g_fdTrace, line->text, line->len);
}

// ---- output file ---------------------------------------------------------

static void Put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

static void Put16(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

static void WriteWavHeader() {
  uint32_t data = g_nDataBytes > kMaxWavData ? kMaxWavData : static_cast<uint32_t>(g_nDataBytes);
  uint32_t frame = static_cast<uint32_t>(g_nChannels) * static_cast<uint32_t>(g_nWidth);
  uint64_t byteRate = static_cast<uint64_t>(g_nRate) * frame;
  uint8_t h[kWavHeaderBytes];
  memcpy(h, "RIFF", 4);
  Put32(h + 4, 36 + data);
  memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, 1);  // Linear PCM
  Put16(h + 22, static_cast<uint32_t>(g_nChannels));
  Put32(h + 24, static_cast<uint32_t>(g_nRate));
  Put32(h + 28, byteRate > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(byteRate));
  Put16(h + 32, frame);
  Put16(h + 34, static_cast<uint32_t>(g_nWidth) * 8);
  memcpy(h + 36, "data", 4);
  Put32(h + 40, data);
  SysPwrite(g_fdOutput, h, sizeof h, 0);
}

// Bytes an earlier process under the same wrapper played stay: the
// wrapper empties the file once, when it starts.
void OutputOpen() {
  if (g_fdOutput != -1 || !g_cOutputPath[0]) return;
  int fd = SysOpen(g_cOutputPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    g_fdOutput = kFdFailed;
    return;
  }
  g_fdOutput = SysMoveHigh(fd);
  off_t end = static_cast<off_t>(syscall(SYS_lseek, g_fdOutput, 0, SEEK_END));
  if (!g_bWav) return;
  if (end < static_cast<off_t>(kWavHeaderBytes)) {
    syscall(SYS_ftruncate, g_fdOutput, 0);
    syscall(SYS_lseek, g_fdOutput, static_cast<off_t>(kWavHeaderBytes), SEEK_SET);
    g_nDataBytes = 0;
  } else {
    g_nDataBytes = static_cast<uint64_t>(end) - kWavHeaderBytes;
  }
  WriteWavHeader();
}

void OutputPlayed(const uint8_t *bytes, size_t n) {
  if (g_fdOutput < 0 || n == 0) return;
  if (!WriteAll(g_fdOutput, bytes, n)) return;
  g_nDataBytes += n;
  if (g_bWav) WriteWavHeader();
}

void OutputFormat(int32_t rate, int32_t channels, int32_t bytesPerSample) {
  g_nRate = rate;
  g_nChannels = channels;
  g_nWidth = bytesPerSample;
  if (g_fdOutput >= 0 && g_bWav) WriteWavHeader();
}
