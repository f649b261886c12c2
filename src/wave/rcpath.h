// Where the device is: the path stored in the user's RC file.  Private to
// src/wave.
#ifndef VDL_SRC_WAVE_RCPATH_H
#define VDL_SRC_WAVE_RCPATH_H

namespace vdlwave {

// Fills device (VDL_RC_VALUE_SIZE bytes) with the device path from
// "$HOME/.vdlrc", group "Audio", key "DSP", storing the default "/dev/dsp"
// there when the entry is missing; the default without HOME.
void LookUpDevicePath(char *device);

}  // namespace vdlwave

#endif
