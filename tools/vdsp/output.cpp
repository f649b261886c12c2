// The recording of what the device played: the raw bytes, or a WAV file
// whose header is kept current after each append, so the file is whole
// however the process ends. A WAV file holds its samples as WAV does
// (8-bit unsigned, 16-bit signed little-endian), so signed 8-bit and the
// other 16-bit formats are converted on the way in; a raw file keeps the
// bytes as written.
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

}  // namespace

// Output file name, "" for none; written once at load.
static char g_cOutputPath[kPathBytes];
// The output name ends in ".wav".
static bool g_bWav;
// Output descriptor: opened at the first device open, kFdFailed if that failed.
static int g_fdOutput = -1;
// Bytes in the output after its header, including earlier processes' bytes.
static uint64_t g_nDataBytes;
// The format a WAV header describes; the device's defaults until set.
static int32_t g_nRate = 8000;
static int32_t g_nChannels = 1;
static int32_t g_nFormat = AFMT_U8;
// Bytes of the current format seen since it was set: which byte of a
// 16-bit sample comes next.
static uint64_t g_nFormatBytes;
// The first byte of a big-endian sample, waiting for its second.
static uint8_t g_nHeldByte;

static bool EndsWithWav(const char *name) {
  size_t len = strlen(name);
  return len >= 4 && strcasecmp(name + len - 4, ".wav") == 0;
}

static int32_t Width() { return g_nFormat == AFMT_U8 || g_nFormat == AFMT_S8 ? 1 : 2; }

static void WriteWavHeader() {
  uint8_t h[kWavHeaderBytes];
  vdl::PutWavHeader(h, vdl::PcmWavFields(static_cast<uint32_t>(g_nRate),
                                         static_cast<uint32_t>(g_nChannels),
                                         static_cast<uint32_t>(Width()) * 8, g_nDataBytes));
  SysPwrite(g_fdOutput, h, sizeof h, 0);
}

// One played byte as WAV holds it; false while a big-endian sample's first
// byte waits for its second.
static bool Convert(uint8_t in, uint8_t out[2], size_t *n) {
  bool high = g_nFormatBytes++ % 2 == 1;  // the second byte of a 16-bit sample
  *n = 1;
  switch (g_nFormat) {
    case AFMT_S8: out[0] = in ^ 0x80; return true;
    case AFMT_U16_LE: out[0] = high ? in ^ 0x80 : in; return true;
    case AFMT_S16_BE:
    case AFMT_U16_BE:
      if (!high) {
        g_nHeldByte = in;
        return false;
      }
      out[0] = in;
      out[1] = g_nFormat == AFMT_U16_BE ? g_nHeldByte ^ 0x80 : g_nHeldByte;
      *n = 2;
      return true;
    default: out[0] = in; return true;
  }
}

static bool Append(const uint8_t *bytes, size_t n) {
  if (!SysWriteAll(g_fdOutput, bytes, n)) return false;
  g_nDataBytes += n;
  return true;
}

void OutputSetup(const char *path) {
  g_cOutputPath[0] = '\0';
  if (path && strlen(path) < kPathBytes) strcpy(g_cOutputPath, path);
  g_bWav = EndsWithWav(g_cOutputPath);
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
  if (!g_bWav || g_nFormat == AFMT_U8 || g_nFormat == AFMT_S16_LE) {
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

void OutputFormat(int32_t rate, int32_t channels, int32_t format) {
  g_nRate = rate;
  g_nChannels = channels;
  g_nFormat = format;
  g_nFormatBytes = 0;
  if (g_fdOutput >= 0 && g_bWav) WriteWavHeader();
}
