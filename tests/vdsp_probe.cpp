// A program that talks to an OSS device the way the player does, one
// action per argument, and prints what each call returned. The vdsp tests
// run it under the virtual device. It is built with _FORTIFY_SOURCE, and
// runtime flags make the fortified __open_2 family the entries it uses.
//
//   vdsp_probe DEVICE ACTION...
//   pid | open[:ENTRY[:FLAGS]] | fmt:RATE:CHANNELS:BITS | write:BYTES[:BLOCK]
//   ioctl:NAME[:VALUE] | close | sleep:MS | alarm:MS | onint | mark | elapsed
//   file:PATH
#include "testutil.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t kStreamBytes = size_t{4} << 20;
constexpr unsigned long kReset = 0x5000, kSync = 0x5001, kSpeed = 0xC0045002,
                        kStereo = 0xC0045003, kSetFmt = 0xC0045005, kChannels = 0xC0045006;

int g_fd = -1;            // the device; read by the SIGINT handler
std::string g_stream;     // the bytes written, in order: vdltest::Pattern(kStreamBytes)
size_t g_pos = 0;         // stream bytes the device accepted so far
double g_mark = 0;

const char *ErrName(int ret, int err) {
  if (ret >= 0) return "0";
  switch (err) {
    case EINTR: return "EINTR";
    case EAGAIN: return "EAGAIN";
    case EBUSY: return "EBUSY";
    case EINVAL: return "EINVAL";
    case ENOENT: return "ENOENT";
    case ENOTTY: return "ENOTTY";
    case EBADF: return "EBADF";
    default: return "other";
  }
}

void OnAlarm(int) {}

// What the player's termination handler does with the device.
void OnInt(int) {
  ioctl(g_fd, kReset);
  close(g_fd);
  _exit(1);
}

int Flags(const std::string &name) {
  if (name == "nb") return O_WRONLY | O_NONBLOCK;
  if (name == "rdwr") return O_RDWR;
  return O_WRONLY;
}

int Open(const std::string &dev, const std::string &entry, int flags) {
  if (entry == "const") return open(dev.c_str(), O_WRONLY);
  if (entry == "open64") return open64(dev.c_str(), flags);
  if (entry == "openat") return openat(AT_FDCWD, dev.c_str(), flags);
  if (entry == "openat64") return openat64(AT_FDCWD, dev.c_str(), flags);
  return open(dev.c_str(), flags);
}

unsigned long Request(const std::string &name) {
  if (name == "reset") return kReset;
  if (name == "sync") return kSync;
  if (name == "speed") return kSpeed;
  if (name == "stereo") return kStereo;
  if (name == "setfmt") return kSetFmt;
  if (name == "channels") return kChannels;
  return std::strtoul(name.c_str(), nullptr, 0);
}

// Splits "a:b:c" into its fields.
std::string Field(const std::string &action, int index) {
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = action.find(':', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return action.substr(start, action.find(':', start) - start);
}

long Num(const std::string &action, int index, long fallback) {
  std::string f = Field(action, index);
  return f.empty() ? fallback : std::strtol(f.c_str(), nullptr, 0);
}

void Write(size_t bytes, size_t block) {
  if (bytes > g_stream.size() - g_pos) bytes = g_stream.size() - g_pos;
  ssize_t ret = 0;
  size_t total = 0;
  while (total < bytes) {
    size_t n = bytes - total < block ? bytes - total : block;
    ret = write(g_fd, g_stream.data() + g_pos, n);
    if (ret > 0) {
      g_pos += static_cast<size_t>(ret);
      total += static_cast<size_t>(ret);
    }
    if (ret != static_cast<ssize_t>(n)) break;
  }
  std::printf("write total=%zu last=%zd errno=%s\n", total, ret, ErrName(static_cast<int>(ret), errno));
}

void Ioctl(unsigned long request, const std::string &value) {
  int v = static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
  int ret = value.empty() ? ioctl(g_fd, request) : ioctl(g_fd, request, &v);
  std::printf("ioctl ret=%d val=%d errno=%s\n", ret, v, ErrName(ret, errno));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  std::string dev = argv[1];
  g_stream = vdltest::Pattern(kStreamBytes);
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i], verb = Field(a, 0);
    if (verb == "pid") {
      std::printf("pid %d\n", static_cast<int>(getpid()));
    } else if (verb == "open") {
      std::string entry = Field(a, 1);
      g_fd = Open(dev, entry, Flags(Field(a, 2)));
      std::printf("open ret=%d errno=%s\n", g_fd, ErrName(g_fd, errno));
    } else if (verb == "fmt") {
      int ch = static_cast<int>(Num(a, 2, 1)), stereo = ch - 1;
      int speed = static_cast<int>(Num(a, 1, 8000)), bits = static_cast<int>(Num(a, 3, 8));
      ioctl(g_fd, kReset);
      ioctl(g_fd, kChannels, &ch);
      ioctl(g_fd, kStereo, &stereo);
      ioctl(g_fd, kSpeed, &speed);
      ioctl(g_fd, kSetFmt, &bits);
    } else if (verb == "write") {
      Write(static_cast<size_t>(Num(a, 1, 0)), static_cast<size_t>(Num(a, 2, 256)));
    } else if (verb == "ioctl") {
      Ioctl(Request(Field(a, 1)), Field(a, 2));
    } else if (verb == "close") {
      int ret = close(g_fd);
      std::printf("close ret=%d errno=%s\n", ret, ErrName(ret, errno));
    } else if (verb == "sleep") {
      usleep(static_cast<useconds_t>(Num(a, 1, 0) * 1000));
    } else if (verb == "alarm") {
      struct sigaction sa = {};
      sa.sa_handler = OnAlarm;  // no SA_RESTART: the signal ends a wait
      sigaction(SIGALRM, &sa, nullptr);
      long ms = Num(a, 1, 0);
      itimerval t = {{0, 0}, {ms / 1000, (ms % 1000) * 1000}};
      setitimer(ITIMER_REAL, &t, nullptr);
    } else if (verb == "onint") {
      signal(SIGINT, OnInt);
      signal(SIGTERM, OnInt);
    } else if (verb == "mark") {
      g_mark = vdltest::Now();
    } else if (verb == "elapsed") {
      std::printf("elapsed s=%.6f\n", vdltest::Now() - g_mark);
    } else if (verb == "file") {
      int fd = open(Field(a, 1).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ssize_t w = write(fd, "hello", 5);
      int r = ioctl(fd, kReset);
      int err = errno;
      int c = close(fd);
      std::printf("file write=%zd ioctl=%s close=%d\n", w, ErrName(r, err), c);
    } else {
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
