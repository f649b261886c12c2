// The words of the programs that stand in for OSS clients in the vdsp
// tests (vdsp_probe, oss_client): one action per argument, its fields
// joined by ':', the requests they may name, and the errno of a call
// spelled by name in what they print.
#ifndef VDL_TESTS_PROBE_WORDS_H
#define VDL_TESTS_PROBE_WORDS_H

#include <errno.h>
#include <fcntl.h>
#include <linux/soundcard.h>

#include <cstdlib>
#include <string>

namespace vdltest {

// The requests by the names the actions give them.
struct Request {
  const char *name;
  unsigned int number;  // the kernel takes 32 bits
};
inline constexpr Request kRequests[] = {
    {"reset", SNDCTL_DSP_RESET},           {"sync", SNDCTL_DSP_SYNC},
    {"post", SNDCTL_DSP_POST},             {"nonblock", SNDCTL_DSP_NONBLOCK},
    {"speed", SNDCTL_DSP_SPEED},           {"stereo", SNDCTL_DSP_STEREO},
    {"channels", SNDCTL_DSP_CHANNELS},     {"setfmt", SNDCTL_DSP_SETFMT},
    {"setfragment", SNDCTL_DSP_SETFRAGMENT}, {"getfmts", SNDCTL_DSP_GETFMTS},
    {"getcaps", SNDCTL_DSP_GETCAPS},       {"version", OSS_GETVERSION},
    {"getblksize", SNDCTL_DSP_GETBLKSIZE}, {"gettrigger", SNDCTL_DSP_GETTRIGGER},
    {"settrigger", SNDCTL_DSP_SETTRIGGER}, {"rate", SOUND_PCM_READ_RATE},
    {"readchannels", SOUND_PCM_READ_CHANNELS}, {"bits", SOUND_PCM_READ_BITS},
    {"getodelay", SNDCTL_DSP_GETODELAY},   {"subdivide", SNDCTL_DSP_SUBDIVIDE},
    {"getospace", SNDCTL_DSP_GETOSPACE},   {"getispace", SNDCTL_DSP_GETISPACE},
    {"getoptr", SNDCTL_DSP_GETOPTR},       {"getiptr", SNDCTL_DSP_GETIPTR},
    {"mapoutbuf", SNDCTL_DSP_MAPOUTBUF},   {"setduplex", SNDCTL_DSP_SETDUPLEX},
    {"unnamed", _SIO('P', 99)},  // no OSS request has this number
    {"mixer", SOUND_MIXER_READ_VOLUME},
};

// Field index of "a:b:c" (0 is the verb); "" past the last.
inline std::string Field(const std::string &action, int index) {
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = action.find(':', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return action.substr(start, action.find(':', start) - start);
}

// Field index as a number (decimal, 0x hex or 0 octal), or fallback when
// it is missing.
inline long Num(const std::string &action, int index, long fallback) {
  std::string f = Field(action, index);
  return f.empty() ? fallback : std::strtol(f.c_str(), nullptr, 0);
}

// The open flags a word names: rd, rdwr, nb (write-only, non-blocking);
// anything else is write-only.
inline int OpenFlags(const std::string &name) {
  if (name == "rd") return O_RDONLY;
  if (name == "rdwr") return O_RDWR;
  if (name == "nb") return O_WRONLY | O_NONBLOCK;
  return O_WRONLY;
}

// "0" for a call that succeeded (ret >= 0), else err by name, or "other"
// for one the tests do not expect.
inline const char *ErrName(int ret, int err) {
  if (ret >= 0) return "0";
  switch (err) {
    case EINTR: return "EINTR";
    case EAGAIN: return "EAGAIN";
    case EBUSY: return "EBUSY";
    case EINVAL: return "EINVAL";
    case ENOENT: return "ENOENT";
    case ENOTTY: return "ENOTTY";
    case EACCES: return "EACCES";
    case EBADF: return "EBADF";
    case ESPIPE: return "ESPIPE";
    default: return "other";
  }
}

}  // namespace vdltest

#endif
