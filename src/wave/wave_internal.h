// State and helpers shared by the wave module's files: device, header,
// blocking playback and background playback.  Private to src/wave (and to
// tests of its internals).
#ifndef VDL_SRC_WAVE_INTERNAL_H
#define VDL_SRC_WAVE_INTERNAL_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <linux/soundcard.h>

#include <atomic>

// In a namespace so that C programs linking the library keep common names
// such as g_fp for themselves.
namespace vdlwave {

constexpr long kHeaderSize = 44;        // sample data starts at this offset
// Bytes per device write.  Both players keep the block on the stack of the
// function that moves it: nothing to allocate, so nothing to fail, and the
// timer's handler may not call the allocator anyway.
constexpr int kBlockSize = 256;


static_assert(sizeof(sig_atomic_t) == sizeof(int32_t),
              "module variables are 32-bit values");

// Module variables.  Signal handlers read and write them, so each is read
// and written whole: sig_atomic_t, or a lock-free atomic where the value
// does not fit one.
//
// Device descriptor; written by vdlOpenDevice_WaveDSP (negative after a
// failed open), -1 again once closed, so that nothing reaches a later file
// that gets the same number.  -1 at rest.
extern volatile sig_atomic_t g_fdDsp;
// WAV stream of the background playback; null at rest and after
// vdlEnd_WaveDSP, which leaves the stream to its caller.
extern std::atomic<FILE *> g_fp;
// Data size in bytes of the background file; 0 at rest.
extern volatile sig_atomic_t g_nDataSize;
// Background playing flag: 1 = a timer tick plays blocks, 0 = paused,
// played out or ended.  1 at program start.
extern volatile sig_atomic_t g_nWaveBGMPlaying;
// Data bytes of the background file handed to the device, in steps of 256;
// 64-bit because the last step can pass a data size near 2^31 - 1.  0 at
// rest.
extern std::atomic<int64_t> g_nWaveBGMPlayPos;

static_assert(std::atomic<FILE *>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free,
              "signal handlers need lock-free atomics");

// Playback preparation: SNDCTL_DSP_RESET, then _CHANNELS, _STEREO, _SPEED
// and _SETFMT from the given values (results ignored), then fp is sought
// to offset 44.
void PreparePlayback(FILE *fp, int32_t stereo, int32_t channels,
                     int32_t freq, int32_t bits);

// Ends a background playback that is still running, before the device it
// writes to is closed: flag 0, timer disarmed, stream forgotten.  Leaves
// the timer alone when no playback runs.  Async-signal-safe.
void StopBackground();

// Writes all len bytes of buf to fd: a short write is continued, and a
// write that a signal interrupts before any byte is retried.  Returns 1,
// or 0 on a real error with errno set (EIO when the device takes nothing
// without an error).  Async-signal-safe.
int WriteBlock(int fd, const void *buf, size_t len);

// Writes the texts joined, as far as 256 bytes, to stderr in one piece, so
// that the line never interleaves with other output; errno is kept.
// Async-signal-safe: the module's one way to print from a handler.
void WriteErrorLine(const char *const parts[], size_t count);

// Formats value in decimal ("%d") into buf, which holds at least 12
// bytes; returns buf.  Async-signal-safe.
char *FormatDecimal(int32_t value, char *buf);

// Prints "write /dev/dsp: <reason>\n" for errno value err on stderr, as
// perror would in the C locale, without stdio.  Async-signal-safe.
void PrintWriteError(int err);

}  // namespace vdlwave

#endif
