// A small OSS client: stands in for a program on an OSS device, one
// call per argument, and prints what each call answered. The vdsp tests
// run it under the virtual device to drive the requests and the
// descriptor calls a real device answers.
//
//   oss_client DEVICE ACTION...
//   open[:wr|rd|rdwr|nb] | req:NAME[:VALUE] | write:BYTES | pwrite:BYTES | bytes:HEX | read:BYTES
//   fcntl:get|nb|block | dup | dup2:FD | close | closeold | sleep:MS
//   stat[:PATH] | lstat | fstat | access:r|w|x
//
// Each action prints one line, "VERB key=value...". req prints the
// request's name, ret, errno
// and val (the int written back) for the int requests, the audio_buf_info
// or count_info fields for GETOSPACE and GETOPTR. write writes BYTES of a
// counting pattern in one call, bytes the given ones. dup makes the copy
// the descriptor the next actions use; closeold closes the one before.
#include "probe_words.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using vdltest::ErrName;
using vdltest::Field;
using vdltest::OpenFlags;
using vdltest::Request;
using vdltest::kRequests;

// One request: its answer as the request's argument type has it.
int Req(int fd, const std::string &name, const std::string &value) {
  const Request *r = nullptr;
  for (const Request &q : kRequests)
    if (name == q.name) r = &q;
  if (!r) return 2;
  int ret;
  if (r->number == SNDCTL_DSP_GETOSPACE || r->number == SNDCTL_DSP_GETISPACE) {
    audio_buf_info info = {-1, -1, -1, -1};
    ret = ioctl(fd, r->number, &info);
    std::printf("req %s ret=%d errno=%s bytes=%d fragments=%d fragsize=%d fragstotal=%d\n",
                r->name, ret, ErrName(ret, errno), info.bytes, info.fragments, info.fragsize, info.fragstotal);
  } else if (r->number == SNDCTL_DSP_GETOPTR || r->number == SNDCTL_DSP_GETIPTR) {
    count_info info = {-1, -1, -1};
    ret = ioctl(fd, r->number, &info);
    std::printf("req %s ret=%d errno=%s bytes=%d blocks=%d ptr=%d\n", r->name, ret, ErrName(ret, errno),
                info.bytes, info.blocks, info.ptr);
  } else {
    int v = value.empty() ? -1 : static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
    ret = _IOC_SIZE(r->number) == 0 ? ioctl(fd, r->number) : ioctl(fd, r->number, &v);
    std::printf("req %s ret=%d errno=%s val=%d\n", r->name, ret, ErrName(ret, errno), v);
  }
  return 0;
}

std::string Unhex(const std::string &hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

void Stat(int ret, const struct stat &st) {
  std::printf("stat ret=%d errno=%s chr=%d major=%u minor=%u\n", ret, ErrName(ret, errno),
              ret == 0 && S_ISCHR(st.st_mode) ? 1 : 0, ret == 0 ? major(st.st_rdev) : 0,
              ret == 0 ? minor(st.st_rdev) : 0);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  std::string dev = argv[1];
  int fd = -1, old = -1;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i], verb = Field(a, 0), arg = Field(a, 1);
    if (verb == "open") {
      fd = open(dev.c_str(), OpenFlags(arg));
      std::printf("open ret=%d errno=%s\n", fd, ErrName(fd, errno));
    } else if (verb == "req") {
      if (Req(fd, arg, Field(a, 2)) != 0) return 2;
    } else if (verb == "write" || verb == "bytes") {
      std::string data = verb == "bytes" ? Unhex(arg) : std::string();
      for (size_t n = 0; verb == "write" && n < std::strtoul(arg.c_str(), nullptr, 0); ++n)
        data += static_cast<char>(n * 7 + n / 251);
      ssize_t ret = write(fd, data.data(), data.size());
      std::printf("write ret=%zd errno=%s\n", ret, ErrName(static_cast<int>(ret), errno));
    } else if (verb == "pwrite") {
      std::string data(std::strtoul(arg.c_str(), nullptr, 0), '\0');
      ssize_t ret = pwrite(fd, data.data(), data.size(), 0);
      std::printf("pwrite ret=%zd errno=%s\n", ret, ErrName(static_cast<int>(ret), errno));
    } else if (verb == "read") {
      char buf[4096];
      size_t n = std::strtoul(arg.c_str(), nullptr, 0);
      ssize_t ret = read(fd, buf, n < sizeof buf ? n : sizeof buf);
      std::printf("read ret=%zd errno=%s\n", ret, ErrName(static_cast<int>(ret), errno));
    } else if (verb == "fcntl") {
      int flags = fcntl(fd, F_GETFL);
      int ret = flags;
      if (arg == "nb") ret = fcntl(fd, F_SETFL, flags | O_NONBLOCK);
      if (arg == "block") ret = fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      flags = fcntl(fd, F_GETFL);
      std::printf("fcntl ret=%d errno=%s nonblock=%d access=%d\n", ret < 0 ? -1 : 0,
                  ErrName(ret, errno), (flags & O_NONBLOCK) ? 1 : 0, flags & O_ACCMODE);
    } else if (verb == "dup" || verb == "dup2") {
      int copy = verb == "dup" ? dup(fd) : dup2(fd, std::atoi(arg.c_str()));
      std::printf("dup ret=%d errno=%s\n", copy, ErrName(copy, errno));
      old = fd;
      fd = copy;
    } else if (verb == "close" || verb == "closeold") {
      int ret = close(verb == "close" ? fd : old);
      std::printf("close ret=%d errno=%s\n", ret, ErrName(ret, errno));
    } else if (verb == "stat" || verb == "lstat" || verb == "fstat") {
      struct stat st = {};
      std::string path = arg.empty() ? dev : arg;
      int ret = verb == "fstat" ? fstat(fd, &st)
                : verb == "lstat" ? lstat(path.c_str(), &st) : stat(path.c_str(), &st);
      Stat(ret, st);
    } else if (verb == "access") {
      int mode = arg == "x" ? X_OK : arg == "w" ? W_OK : R_OK;
      int ret = access(dev.c_str(), mode);
      std::printf("access ret=%d errno=%s\n", ret, ErrName(ret, errno));
    } else if (verb == "sleep") {
      usleep(static_cast<useconds_t>(std::atoi(arg.c_str()) * 1000));
    } else {
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
