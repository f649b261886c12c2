// What the wrapper and the library agree on: the environment variables
// that carry the settings, and their limits.
#ifndef VDSP_VDSP_H
#define VDSP_VDSP_H

#include <stddef.h>
#include <stdint.h>

#define VDSP_ENV_DEVICES "VDSP_DEVICES"
#define VDSP_ENV_QUEUE "VDSP_QUEUE"
#define VDSP_ENV_FAST "VDSP_FAST"
#define VDSP_ENV_OUTPUT "VDSP_OUTPUT"
#define VDSP_ENV_TRACE "VDSP_TRACE"
#define VDSP_ENV_NO_SPACE "VDSP_NO_SPACE"
#define VDSP_ENV_NO_POLL "VDSP_NO_POLL"
// The descriptor of the memory file that holds the device for the run.
#define VDSP_ENV_STATE "VDSP_STATE"

constexpr size_t kDefaultQueueBytes = 65536;
constexpr size_t kMaxQueueBytes = size_t{64} << 20;
constexpr size_t kPathBytes = 4096;

#endif
