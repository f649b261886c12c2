// What the rest of the wave module asks of the background playback.
// Private to src/wave.
#ifndef VDL_SRC_WAVE_BGM_H
#define VDL_SRC_WAVE_BGM_H

namespace vdlwave {

// Ends a background playback that is still running, before the device it
// writes to is closed: flag 0, timer disarmed, stream forgotten.  Leaves
// the timer alone when no playback runs.  Async-signal-safe.
void StopBackground();

}  // namespace vdlwave

#endif
