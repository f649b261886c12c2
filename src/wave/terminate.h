// The termination handler for SIGINT and SIGTERM.  Private to src/wave.
#ifndef VDL_SRC_WAVE_TERMINATE_H
#define VDL_SRC_WAVE_TERMINATE_H

namespace vdlwave {

// Installs ExitCallBack for SIGINT and SIGTERM, except where the signal is
// ignored: prints "Terminated...\n", stops a background playback, resets
// and closes the device, and ends the process with status 1.
void InstallExitHandler();

}  // namespace vdlwave

#endif
