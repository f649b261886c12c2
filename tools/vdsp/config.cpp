// The device's settings, as the wrapper leaves them in the environment,
// and the paths that name it.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "device.h"
#include "model.h"
#include "record.h"
#include "sys.h"
#include "vdsp.h"

namespace {

constexpr int kMaxDevices = 8;
constexpr const char *kDefaultDevice = "/dev/dsp";

}  // namespace

// The device paths, from VDSP_DEVICES; written once at load.
static char g_cDevices[kMaxDevices][kPathBytes];
static int g_nDevices;
// 1 once the settings have been read.
static volatile sig_atomic_t g_bConfigured;

static size_t ParseSize(const char *text, size_t fallback) {
  if (!text || !*text) return fallback;
  size_t value = 0;
  for (const char *p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return fallback;
    value = value * 10 + static_cast<size_t>(*p - '0');
    if (value > kMaxQueueBytes) return fallback;
  }
  return value > 0 ? value : fallback;
}

void DeviceConfigure() {
  if (g_bConfigured) return;
  g_bConfigured = 1;
  const char *devices = getenv(VDSP_ENV_DEVICES);
  if (!devices || !*devices) devices = kDefaultDevice;
  for (const char *p = devices; *p && g_nDevices < kMaxDevices;) {
    size_t len = strcspn(p, ":");
    if (len > 0 && len < kPathBytes) {
      memcpy(g_cDevices[g_nDevices], p, len);
      g_cDevices[g_nDevices][len] = '\0';
      ++g_nDevices;
    }
    p += len;
    if (*p == ':') ++p;
  }
  // The shared parts are taken in this order by every process of a run.
  QueueSetup(ParseSize(getenv(VDSP_ENV_QUEUE), kDefaultQueueBytes), EnvSwitch(VDSP_ENV_FAST),
             EnvSwitch(VDSP_ENV_NO_SPACE));
  TraceSetup(getenv(VDSP_ENV_TRACE));
  OutputSetup(getenv(VDSP_ENV_OUTPUT));
  DeviceSetup();
  SharedReady();
  DeviceInherit();
}

bool DevicePath(int dirfd, const char *path) {
  if (!path) return false;
  DeviceConfigure();
  if (path[0] != '/' && dirfd != AT_FDCWD) return false;
  for (int i = 0; i < g_nDevices; ++i)
    if (strcmp(path, g_cDevices[i]) == 0) return true;
  return false;
}
