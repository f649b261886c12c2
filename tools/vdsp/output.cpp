// The recording of what the device played: the raw bytes, or a WAV file
// whose header is kept current after each append, so the file is whole
// however the process ends. A WAV file holds one format: when it changes
// after bytes were recorded, the recording goes on in NAME-2.wav,
// NAME-3.wav... beside it. The state is shared by the processes of a run,
// so each byte lands once, whichever process plays it. A WAV file holds
// its samples as WAV does (8-bit unsigned, 16-bit signed little-endian),
// so signed 8-bit and the other 16-bit formats are converted on the way
// in; a raw file keeps the bytes as written.
#include "record.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sys.h"
#include "vdsp.h"
#include "wav_header.h"

using vdl::kWavHeaderBytes;

namespace {

constexpr int kFdFailed = -2;
// Converted bytes pass through a buffer of this size on the stack.
constexpr size_t kChunkBytes = 1024;

// The recording's state, shared by the processes of a run (zero in a
// fresh run).
struct Recording {
  bool started;          // a device open has set the recording up
  uint32_t file;         // which file takes the bytes: 1 the name given, n NAME-n.wav
  uint64_t dataBytes;    // bytes in that file after its header
  int32_t rate, channels, format;  // the format of the bytes recorded from now on
  uint64_t formatBytes;  // bytes of that format seen: which byte of a 16-bit sample comes next
  uint8_t heldByte;      // the first byte of a big-endian sample, waiting for its second
};

}  // namespace

// Output file name, "" for none; written once at load.
static char g_cOutputPath[kPathBytes];
// The output name ends in ".wav".
static bool g_bWav;
// In the shared state from OutputSetup on.
static Recording *g_pRec;
// This process's descriptor for file g_nFdFile, -1 for none yet,
// kFdFailed if the open failed.
static int g_fdOutput = -1;
static uint32_t g_nFdFile;

static bool EndsWithWav(const char *name) {
  size_t len = strlen(name);
  return len >= 4 && strcasecmp(name + len - 4, ".wav") == 0;
}

static int32_t Width(int32_t format) { return format == AFMT_U8 || format == AFMT_S8 ? 1 : 2; }

// The name of file n: the name given, then NAME-n.wav beside it.
static void FileName(uint32_t n, char *name, size_t size) {
  size_t len = strlen(g_cOutputPath) - 4;
  if (n <= 1 || len + 16 > size) {
    strcpy(name, g_cOutputPath);
    return;
  }
  char digits[12];
  int count = 0;
  for (uint32_t v = n; v > 0; v /= 10) digits[count++] = static_cast<char>('0' + v % 10);
  memcpy(name, g_cOutputPath, len);
  name[len++] = '-';
  while (count > 0) name[len++] = digits[--count];
  strcpy(name + len, g_cOutputPath + strlen(g_cOutputPath) - 4);
}

// This process's descriptor for the file that takes the bytes now; a
// file begun afresh is emptied. False when it cannot be opened.
static bool Current(bool begun) {
  if (g_nFdFile == g_pRec->file && g_fdOutput != -1) return g_fdOutput >= 0;
  if (g_fdOutput >= 0) SysClose(g_fdOutput);
  char name[kPathBytes + 16];
  FileName(g_pRec->file, name, sizeof name);
  int fd = SysOpen(name, O_WRONLY | O_CREAT | O_CLOEXEC | (begun ? O_TRUNC : 0), 0644);
  g_fdOutput = fd < 0 ? kFdFailed : SysMoveHigh(fd);
  g_nFdFile = g_pRec->file;
  return g_fdOutput >= 0;
}

static off_t DataStart() { return g_bWav ? static_cast<off_t>(kWavHeaderBytes) : 0; }

static void WriteWavHeader() {
  uint8_t h[kWavHeaderBytes];
  vdl::PutWavHeader(h, vdl::PcmWavFields(static_cast<uint32_t>(g_pRec->rate),
                                         static_cast<uint32_t>(g_pRec->channels),
                                         static_cast<uint32_t>(Width(g_pRec->format)) * 8,
                                         g_pRec->dataBytes));
  SysPwrite(g_fdOutput, h, sizeof h, 0);
}

// One played byte as WAV holds it; false while a big-endian sample's first
// byte waits for its second.
static bool Convert(uint8_t in, uint8_t out[2], size_t *n) {
  bool high = g_pRec->formatBytes++ % 2 == 1;  // the second byte of a 16-bit sample
  *n = 1;
  switch (g_pRec->format) {
    case AFMT_S8: out[0] = in ^ 0x80; return true;
    case AFMT_U16_LE: out[0] = high ? in ^ 0x80 : in; return true;
    case AFMT_S16_BE:
    case AFMT_U16_BE:
      if (!high) {
        g_pRec->heldByte = in;
        return false;
      }
      out[0] = in;
      out[1] = g_pRec->format == AFMT_U16_BE ? g_pRec->heldByte ^ 0x80 : g_pRec->heldByte;
      *n = 2;
      return true;
    default: out[0] = in; return true;
  }
}

// Writes at the end of the data, through interruptions and short writes.
static bool Append(const uint8_t *bytes, size_t n) {
  while (n > 0) {
    ssize_t done = SysPwrite(g_fdOutput, bytes, n,
                             DataStart() + static_cast<off_t>(g_pRec->dataBytes));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    n -= static_cast<size_t>(done);
    g_pRec->dataBytes += static_cast<uint64_t>(done);
  }
  return true;
}

// Says on stderr and in the trace that the recording goes on in a new
// file, for a new format.
static void Announce(const char *name) {
  static const char kSaid[] = "vdsp: the format changed: the recording goes on in ";
  SysWriteAll(2, kSaid, sizeof kSaid - 1);
  SysWriteAll(2, name, strlen(name));
  SysWriteAll(2, "\n", 1);
  TraceLine line;
  TraceBegin(&line, "output");
  TraceWord(&line, name);
  TraceInt(&line, "rate", g_pRec->rate);
  TraceInt(&line, "channels", g_pRec->channels);
  TraceInt(&line, "bits", Width(g_pRec->format) * 8);
  TraceEnd(&line);
}

void OutputSetup(const char *path) {
  g_cOutputPath[0] = '\0';
  if (path && strlen(path) < kPathBytes) strcpy(g_cOutputPath, path);
  g_bWav = EndsWithWav(g_cOutputPath);
  g_pRec = static_cast<Recording *>(SharedPart(sizeof(Recording)));
  if (!SharedFresh()) return;
  g_pRec->file = 1;
  g_pRec->rate = 8000;
  g_pRec->channels = 1;
  g_pRec->format = AFMT_U8;
}

// The wrapper empties the file once, when the run starts; a library
// preloaded by hand appends to what an earlier process left.
void OutputOpen() {
  if (!g_cOutputPath[0] || g_fdOutput == kFdFailed || !Current(false) || g_pRec->started) return;
  g_pRec->started = true;
  off_t end = static_cast<off_t>(syscall(SYS_lseek, g_fdOutput, 0, SEEK_END));
  g_pRec->dataBytes = end > DataStart() ? static_cast<uint64_t>(end - DataStart()) : 0;
  if (g_bWav && g_pRec->dataBytes == 0) syscall(SYS_ftruncate, g_fdOutput, 0);
  if (g_bWav) WriteWavHeader();
}

void OutputPlayed(const uint8_t *bytes, size_t n) {
  if (n == 0 || !g_cOutputPath[0] || !Current(false)) return;
  if (!g_bWav || g_pRec->format == AFMT_U8 || g_pRec->format == AFMT_S16_LE) {
    if (!Append(bytes, n)) return;
  } else {
    uint8_t chunk[kChunkBytes];
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
      uint8_t out[2];
      size_t count;
      if (!Convert(bytes[i], out, &count)) continue;
      if (used + count > sizeof chunk) {
        if (!Append(chunk, used)) return;
        used = 0;
      }
      memcpy(chunk + used, out, count);
      used += count;
    }
    if (used > 0 && !Append(chunk, used)) return;
  }
  if (g_bWav) WriteWavHeader();
}

// A WAV file never holds two formats: after bytes of one, another goes on
// in the next file.
void OutputFormat(int32_t rate, int32_t channels, int32_t format) {
  bool relabel = g_bWav && g_pRec->dataBytes > 0 &&
                 (rate != g_pRec->rate || channels != g_pRec->channels ||
                  Width(format) != Width(g_pRec->format));
  g_pRec->rate = rate;
  g_pRec->channels = channels;
  g_pRec->format = format;
  g_pRec->formatBytes = 0;
  if (relabel) {
    ++g_pRec->file;
    g_pRec->dataBytes = 0;
    char name[kPathBytes + 16];
    FileName(g_pRec->file, name, sizeof name);
    if (Current(true)) Announce(name);
  }
  if (g_bWav && Current(false)) WriteWavHeader();
}
