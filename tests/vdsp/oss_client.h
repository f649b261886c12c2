// oss_client (tests/programs) run under the virtual device: what the vdsp
// tests share.
#ifndef VDL_TESTS_VDSP_OSS_CLIENT_H
#define VDL_TESTS_VDSP_OSS_CLIENT_H

#include "vdsp_rig.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace vdltest {

using Strings = std::vector<std::string>;

inline constexpr size_t kWavHeader = 44;

inline Strings Plus(Strings first, const Strings &then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

// The client (or another build of it) under vdsp: it is given the device
// path, or dev, then the actions.
inline Strings Client(const DeviceHome &rig, const Strings &options, const Strings &actions,
                      const char *client = OSS_CLIENT, const std::string &dev = "") {
  return rig.Argv(options, Plus({client, dev.empty() ? rig.dev : dev}, actions));
}

inline RunResult RunClient(const DeviceHome &rig, const Strings &options, const Strings &actions,
                           const char *client = OSS_CLIENT) {
  return Run(Client(rig, options, actions, client));
}

// Bytes from their hex spelling, two digits each.
inline std::string Unhex(const std::string &hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

}  // namespace vdltest

#endif
