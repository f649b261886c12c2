// vdsp: runs a command with the virtual OSS device preloaded. It only sets
// up the environment and replaces itself with the command, so the command
// keeps this process's ID and its signals reach the program directly.
#include "vdsp.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr int kUsageStatus = 2;
constexpr int kNotFoundStatus = 127;
constexpr int kCannotRunStatus = 126;
constexpr size_t kMaxDevices = 8;
constexpr const char *kAsanLinkOrder = "verify_asan_link_order=0";
// The shared state's memory file sits this high, out of the command's way.
constexpr int kStateFd = 99;

// Where the library lies relative to this program: beside it in the
// build tree, at VDSP_LIB_FROM_BIN once installed.
constexpr const char *kLibName = VDSP_LIB_NAME;
constexpr const char *kLibFromBin = VDSP_LIB_FROM_BIN;

const char kUsage[] =
    "Usage: vdsp [OPTION]... -- COMMAND [ARG]...\n"
    "Runs COMMAND with a virtual OSS audio device at /dev/dsp.\n"
    "\n"
    "  -d, --device PATH   emulate the device at PATH instead (may be repeated)\n"
    "  -o, --output FILE   record the bytes played; a .wav name gets a WAV header\n"
    "  -t, --trace FILE    log every device call, one line per event\n"
    "  -q, --queue BYTES   size of the device queue (default 65536)\n"
    "      --fast          play at once instead of in real time\n"
    "      --no-space      refuse SNDCTL_DSP_GETOSPACE and SNDCTL_DSP_GETODELAY\n"
    "      --no-poll       let poll and select see /dev/null, not the device\n"
    "  -h, --help          print this help\n";

}  // namespace

static int UsageError(const char *message) {
  fprintf(stderr, "vdsp: %s\n%s", message, kUsage);
  return kUsageStatus;
}

static std::string Absolute(const std::string &path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

static std::string FindLibrary() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  std::string dir(self);
  dir.erase(dir.rfind('/'));
  for (const std::string &candidate :
       {dir + "/" + kLibName, dir + "/" + kLibFromBin + "/" + kLibName}) {
    if (access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return "";
}

// Empties a file the library appends to, so no earlier run shows in it.
static bool Truncate(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "vdsp: cannot create %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  close(fd);
  return true;
}

// The memory file that holds the device for every process of the run:
// left open across exec, its number in VDSP_STATE.
static bool ShareState() {
  int fd = memfd_create("vdsp-state", 0);
  int high = fd < 0 ? -1 : fcntl(fd, F_DUPFD, kStateFd);
  if (high < 0) {
    fprintf(stderr, "vdsp: cannot create the device's state: %s\n", strerror(errno));
    return false;
  }
  close(fd);
  setenv(VDSP_ENV_STATE, std::to_string(high).c_str(), 1);
  return true;
}

static bool ParseQueue(const char *text, std::string *out) {
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (errno || end == text || *end || text[0] == '-' || value == 0 || value > kMaxQueueBytes)
    return false;
  *out = std::to_string(value);
  return true;
}

static void SetOrClear(const char *name, const std::string &value) {
  if (value.empty())
    unsetenv(name);
  else
    setenv(name, value.c_str(), 1);
}

int main(int argc, char **argv) {
  static const option kLong[] = {
      {"device", required_argument, nullptr, 'd'}, {"output", required_argument, nullptr, 'o'},
      {"trace", required_argument, nullptr, 't'},  {"queue", required_argument, nullptr, 'q'},
      {"fast", no_argument, nullptr, 'f'},         {"help", no_argument, nullptr, 'h'},
      {"no-space", no_argument, nullptr, 'S'},     {"no-poll", no_argument, nullptr, 'P'},
      {nullptr, 0, nullptr, 0}};
  std::vector<std::string> devices;
  std::string output, trace, queue;
  bool fast = false, noSpace = false, noPoll = false;
  opterr = 0;
  int c;
  // "+": options end at the command, whose own options are left alone.
  while ((c = getopt_long(argc, argv, "+d:o:t:q:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'd':
        if (!*optarg || strchr(optarg, ':')) return UsageError("a device path must be non-empty and free of ':'");
        if (devices.size() == kMaxDevices) return UsageError("too many device paths");
        devices.push_back(optarg);
        break;
      case 'o': output = Absolute(optarg); break;
      case 't': trace = Absolute(optarg); break;
      case 'q':
        if (!ParseQueue(optarg, &queue)) return UsageError("the queue size must be 1 to 67108864 bytes");
        break;
      case 'f': fast = true; break;
      case 'S': noSpace = true; break;
      case 'P': noPoll = true; break;
      case 'h': fputs(kUsage, stdout); return 0;
      default: return UsageError("unknown option or missing argument");
    }
  }
  if (optind >= argc) return UsageError("no command given");

  std::string library = FindLibrary();
  if (library.empty()) {
    fprintf(stderr, "vdsp: cannot find %s beside the program\n", kLibName);
    return 1;
  }
  if (library.find_first_of(": ") != std::string::npos) {
    fprintf(stderr, "vdsp: cannot preload %s: its path holds ':' or a blank\n", library.c_str());
    return 1;
  }
  if ((!output.empty() && !Truncate(output)) || (!trace.empty() && !Truncate(trace))) return 1;
  if (!ShareState()) return 1;

  std::string preload = library;
  if (const char *old = getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  // A program built with a sanitizer wants its runtime first among the
  // libraries; ours comes first. A value the user set still wins, as the
  // later of two settings.
  std::string asan = kAsanLinkOrder;
  if (const char *old = getenv("ASAN_OPTIONS"); old && *old) asan += std::string(":") + old;
  setenv("ASAN_OPTIONS", asan.c_str(), 1);

  std::string deviceList;
  for (const std::string &d : devices) deviceList += (deviceList.empty() ? "" : ":") + d;
  SetOrClear(VDSP_ENV_DEVICES, deviceList);
  SetOrClear(VDSP_ENV_QUEUE, queue);
  SetOrClear(VDSP_ENV_FAST, fast ? "1" : "");
  SetOrClear(VDSP_ENV_NO_SPACE, noSpace ? "1" : "");
  SetOrClear(VDSP_ENV_NO_POLL, noPoll ? "1" : "");
  SetOrClear(VDSP_ENV_OUTPUT, output);
  SetOrClear(VDSP_ENV_TRACE, trace);

  execvp(argv[optind], argv + optind);
  int err = errno;
  fprintf(stderr, "vdsp: cannot run %s: %s\n", argv[optind], strerror(err));
  return err == ENOENT ? kNotFoundStatus : kCannotRunStatus;
}
