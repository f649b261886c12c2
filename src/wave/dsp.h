// The held DSP device descriptor and the device set-up that both players
// run.  Private to src/wave (and to tests of its internals).
#ifndef VDL_SRC_WAVE_DSP_H
#define VDL_SRC_WAVE_DSP_H

#include <signal.h>
#include <stdint.h>
#include <stdio.h>

namespace vdlwave {

constexpr long kHeaderSize = 44;  // sample data starts at this offset
// Bytes per device write.  Both players keep the block on the stack of the
// function that moves it: nothing to allocate, so nothing to fail, and the
// timer's handler may not call the allocator anyway.
constexpr int kBlockSize = 256;

// The device descriptor: negative after a failed open, -1 once closed, so
// that nothing reaches a later file that gets the same number.  -1 at
// rest.  Signal handlers read it, so it is read and written whole; only
// OpenDsp and ReleaseDsp write it.
extern volatile sig_atomic_t g_fdDsp;

// Opens path write-only (blocking) and holds the result, which it returns.
int OpenDsp(const char *path);

// Gives up the held descriptor and returns it (-1 when none is held), so
// that the caller closes a number nothing else reaches any more.
int ReleaseDsp();

// Playback preparation: SNDCTL_DSP_RESET, then _CHANNELS, _STEREO, _SPEED
// and _SETFMT from the given values (results ignored), then fp is sought
// to offset 44.
void PreparePlayback(FILE *fp, int32_t stereo, int32_t channels,
                     int32_t freq, int32_t bits);

}  // namespace vdlwave

#endif
