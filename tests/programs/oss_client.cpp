// A program that stands in for any OSS client, one call per argument,
// and prints what each call answered. The vdsp tests run it under the
// virtual device. It is built with _FORTIFY_SOURCE, and runtime flags make
// the fortified __open_2 family the entries it uses.
//
//   oss_client DEVICE ACTION...
//   pid | open[:FLAGS[:ENTRY]] | fd:N | fork | fmt:RATE:CHANNELS:BITS
//   write:BYTES[:BLOCK] | bytes:HEX | pwrite:BYTES | read:BYTES | ioctl:NAME[:VALUE]
//   fcntl:get|nb|block | dup | dup2:FD | close | closeold | stat[:PATH] | lstat | fstat
//   access:r|w|x | file:PATH | sleep:MS | alarm:MS | onint | mark | elapsed | pipe
//   WAIT:MS[:EVENTS[:MASK]]
//
// FLAGS are wr (the default), rd, rdwr or nb. ENTRY fopen writes through
// fopen's stream, fdopen through a stream on the descriptor, writev in two
// halves; exec runs the client again on the open descriptor (fd:N) for the
// actions left. After fork both processes go on; the parent waits for the
// child at the end. write writes the next BYTES of one long pattern in
// calls of BLOCK (256), bytes the given ones in one call. dup makes the
// copy the descriptor the next actions use; closeold closes the one before.
// ioctl's NAME is a request as a program passes the header's constant
// (reset, speed, getospace...), or int-NAME for the same number kept in an
// int first, which widens it with its sign; it prints the int written back
// (val), or the fields of GETOSPACE's and GETOPTR's structures. WAIT is
// poll, ppoll, select or pselect (the fortified entries where there are
// some), or rawpoll and rawppoll (the plain ones), on the device with
// EVENTS (in, out, pri joined by '+', none, or absent to leave the device
// out; default out) and on the read end of the pipe, when there is one; MS
// below 0 waits for ever; MASK alrm blocks SIGALRM during a ppoll or
// pselect.
#include "testutil.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The requests by the names the actions give them.
struct Request {
  const char *name;
  unsigned int number;  // the kernel takes 32 bits
};
constexpr Request kRequests[] = {
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
std::string Field(const std::string &action, int index) {
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
long Num(const std::string &action, int index, long fallback) {
  std::string f = Field(action, index);
  return f.empty() ? fallback : std::strtol(f.c_str(), nullptr, 0);
}

// The open flags a word names: rd, rdwr, nb (write-only, non-blocking);
// anything else is write-only.
int OpenFlags(const std::string &name) {
  if (name == "rd") return O_RDONLY;
  if (name == "rdwr") return O_RDWR;
  if (name == "nb") return O_WRONLY | O_NONBLOCK;
  return O_WRONLY;
}

// "0" for a call that succeeded (ret >= 0), else err by name, or "other"
// for one the tests do not expect.
const char *ErrName(int ret, int err) {
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

constexpr size_t kStreamBytes = size_t{4} << 20;
constexpr int kNsPerMs = 1000000;

struct Named {
  const char *name;
  int value;
};
constexpr Named kPollBits[] = {
    {"POLLIN", POLLIN},         {"POLLPRI", POLLPRI},       {"POLLOUT", POLLOUT},
    {"POLLERR", POLLERR},       {"POLLHUP", POLLHUP},       {"POLLNVAL", POLLNVAL},
    {"POLLRDNORM", POLLRDNORM}, {"POLLRDBAND", POLLRDBAND}, {"POLLWRNORM", POLLWRNORM},
    {"POLLWRBAND", POLLWRBAND},
};

int g_fd = -1;            // the device; read by the SIGINT handler
int g_pipe = -1;          // read end of a pipe holding a byte, -1 for none
std::string g_stream;     // the bytes written, in order: vdltest::Pattern(kStreamBytes)
size_t g_pos = 0;         // stream bytes the device accepted so far
double g_mark = 0;
FILE *g_file = nullptr;    // the stream writes go through, if any
bool g_vector = false;     // writes go through writev
pid_t g_child = -1;
int g_old = -1;            // the descriptor before the last dup


void OnAlarm(int) {}

// What the player's termination handler does with the device.
void OnInt(int) {
  ioctl(g_fd, SNDCTL_DSP_RESET);
  close(g_fd);
  _exit(1);
}


int Open(const std::string &dev, const std::string &entry, int flags) {
  g_vector = entry == "writev";
  if (entry == "fopen") g_file = std::fopen(dev.c_str(), "w");
  if (entry == "fopen") return g_file ? fileno(g_file) : -1;
  if (entry == "fdopen") g_file = fdopen(open(dev.c_str(), flags), "w");
  if (entry == "fdopen") return g_file ? fileno(g_file) : -1;
  if (entry == "const") return open(dev.c_str(), O_WRONLY);
  if (entry == "open64") return open64(dev.c_str(), flags);
  if (entry == "openat") return openat(AT_FDCWD, dev.c_str(), flags);
  if (entry == "openat64") return openat64(AT_FDCWD, dev.c_str(), flags);
  return open(dev.c_str(), flags);
}

// One request by name: prints the answer as its argument type has it;
// false for a name not in the table.
bool Ioctl(const std::string &name, const std::string &value) {
  bool asInt = name.rfind("int-", 0) == 0;
  const Request *r = nullptr;
  for (const Request &q : kRequests)
    if (name.substr(asInt ? 4 : 0) == q.name) r = &q;
  if (!r) return false;
  unsigned long number = asInt ? static_cast<unsigned long>(static_cast<int>(r->number)) : r->number;
  const char *said = name.c_str();
  int ret;
  if (r->number == SNDCTL_DSP_GETOSPACE || r->number == SNDCTL_DSP_GETISPACE) {
    audio_buf_info info = {-1, -1, -1, -1};
    ret = ioctl(g_fd, number, &info);
    std::printf("ioctl %s ret=%d errno=%s bytes=%d fragments=%d fragsize=%d fragstotal=%d\n", said,
                ret, ErrName(ret, errno), info.bytes, info.fragments, info.fragsize, info.fragstotal);
  } else if (r->number == SNDCTL_DSP_GETOPTR || r->number == SNDCTL_DSP_GETIPTR) {
    count_info info = {-1, -1, -1};
    ret = ioctl(g_fd, number, &info);
    std::printf("ioctl %s ret=%d errno=%s bytes=%d blocks=%d ptr=%d\n", said, ret,
                ErrName(ret, errno), info.bytes, info.blocks, info.ptr);
  } else {
    int v = value.empty() ? -1 : static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
    ret = _IOC_SIZE(r->number) == 0 ? ioctl(g_fd, number) : ioctl(g_fd, number, &v);
    std::printf("ioctl %s ret=%d errno=%s val=%d\n", said, ret, ErrName(ret, errno), v);
  }
  return true;
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

void Write(size_t bytes, size_t block) {
  if (bytes > g_stream.size() - g_pos) bytes = g_stream.size() - g_pos;
  ssize_t ret = 0;
  size_t total = 0;
  while (total < bytes) {
    size_t n = bytes - total < block ? bytes - total : block;
    const char *p = g_stream.data() + g_pos;
    iovec halves[2] = {{const_cast<char *>(p), n / 2}, {const_cast<char *>(p) + n / 2, n - n / 2}};
    if (g_file) ret = std::fwrite(p, 1, n, g_file) == n && std::fflush(g_file) == 0 ? n : -1;
    else ret = g_vector ? writev(g_fd, halves, 2) : write(g_fd, p, n);
    if (ret > 0) {
      g_pos += static_cast<size_t>(ret);
      total += static_cast<size_t>(ret);
    }
    if (ret != static_cast<ssize_t>(n)) break;
  }
  std::printf("write total=%zu last=%zd errno=%s\n", total, ret, ErrName(static_cast<int>(ret), errno));
}

// Poll bits by name, joined by '|', "0" for none: the trace's spelling.
std::string Bits(int bits) {
  std::string text;
  for (const Named &b : kPollBits) {
    if (!(bits & b.value)) continue;
    text += (text.empty() ? "" : "|") + std::string(b.name);
  }
  return text.empty() ? "0" : text;
}

int Events(const std::string &words) {
  int events = 0;
  if (words.find("in") != std::string::npos) events |= POLLIN;
  if (words.find("out") != std::string::npos) events |= POLLOUT;
  if (words.find("pri") != std::string::npos) events |= POLLPRI;
  return events;
}

// Kept where the compiler cannot see them, so the fortified entries check
// the count at run time and the plain ones are called by address.
volatile nfds_t g_nEntries;
int (*volatile g_plainPoll)(pollfd *, nfds_t, int) = poll;
int (*volatile g_plainPpoll)(pollfd *, nfds_t, const timespec *, const sigset_t *) = ppoll;

// poll and ppoll on the device (unless absent) and the pipe (if any).
int PollDevice(const std::string &verb, long ms, const std::string &events, const sigset_t *mask,
               int *revents, bool *other) {
  pollfd fds[2] = {};
  nfds_t n = 0;
  if (events != "absent") fds[n++] = pollfd{g_fd, static_cast<short>(Events(events)), 0};
  if (g_pipe >= 0) fds[n++] = pollfd{g_pipe, POLLIN, 0};
  g_nEntries = n;
  timespec ts = {ms / 1000, ms % 1000 * kNsPerMs};
  const timespec *timeout = ms < 0 ? nullptr : &ts;
  int ret;
  if (verb == "poll") ret = poll(fds, g_nEntries, static_cast<int>(ms));
  else if (verb == "rawpoll") ret = g_plainPoll(fds, g_nEntries, static_cast<int>(ms));
  else if (verb == "ppoll") ret = ppoll(fds, g_nEntries, timeout, mask);
  else ret = g_plainPpoll(fds, g_nEntries, timeout, mask);
  *revents = events != "absent" ? fds[0].revents : 0;
  *other = g_pipe >= 0 && fds[n - 1].revents != 0;
  return ret;
}

// select and pselect, the device in the sets its events name.
int SelectDevice(const std::string &verb, long ms, const std::string &events,
                 const sigset_t *mask, int *revents, bool *other) {
  fd_set sets[3];
  const int bits[3] = {POLLIN, POLLOUT, POLLPRI};
  int asked = events == "absent" ? 0 : Events(events);
  for (int i = 0; i < 3; ++i) {
    FD_ZERO(&sets[i]);
    if (asked & bits[i]) FD_SET(g_fd, &sets[i]);
  }
  if (g_pipe >= 0) FD_SET(g_pipe, &sets[0]);
  int nfds = (g_fd > g_pipe ? g_fd : g_pipe) + 1;
  int ret;
  if (verb == "select") {
    timeval tv = {ms / 1000, ms % 1000 * 1000};
    ret = select(nfds, &sets[0], &sets[1], &sets[2], ms < 0 ? nullptr : &tv);
  } else {
    timespec ts = {ms / 1000, ms % 1000 * kNsPerMs};
    ret = pselect(nfds, &sets[0], &sets[1], &sets[2], ms < 0 ? nullptr : &ts, mask);
  }
  *revents = 0;
  *other = false;
  if (ret < 0) return ret;  // the sets are as they were given
  for (int i = 0; i < 3; ++i)
    if (asked & bits[i] && FD_ISSET(g_fd, &sets[i])) *revents |= bits[i];
  *other = g_pipe >= 0 && FD_ISSET(g_pipe, &sets[0]);
  return ret;
}

void Await(const std::string &verb, long ms, const std::string &events, const std::string &mask) {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGALRM);
  const sigset_t *given = mask == "alrm" ? &blocked : nullptr;
  int revents = 0;
  bool other = false;
  int ret = verb.find("select") != std::string::npos
                ? SelectDevice(verb, ms, events, given, &revents, &other)
                : PollDevice(verb, ms, events, given, &revents, &other);
  int err = errno;
  std::printf("%s ret=%d revents=%s other=%d errno=%s\n", verb.c_str(), ret, Bits(revents).c_str(),
              other ? 1 : 0, ErrName(ret, err));
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
      std::string entry = Field(a, 2);
      g_fd = Open(dev, entry, OpenFlags(Field(a, 1)));
      std::printf("open ret=%d errno=%s\n", g_fd, ErrName(g_fd, errno));
      std::fflush(stdout);
      if (entry == "exec") {
        std::string fd = "fd:" + std::to_string(g_fd);
        argv[i] = fd.data();
        argv[i - 1] = argv[1];
        argv[i - 2] = argv[0];
        execv("/proc/self/exe", argv + i - 2);
        return 2;
      }
    } else if (verb == "fd") {
      g_fd = static_cast<int>(Num(a, 1, -1));
    } else if (verb == "fork") {
      g_child = fork();
    } else if (verb == "fmt") {
      int ch = static_cast<int>(Num(a, 2, 1)), stereo = ch - 1;
      int speed = static_cast<int>(Num(a, 1, 8000)), bits = static_cast<int>(Num(a, 3, 8));
      ioctl(g_fd, SNDCTL_DSP_RESET);
      ioctl(g_fd, SNDCTL_DSP_CHANNELS, &ch);
      ioctl(g_fd, SNDCTL_DSP_STEREO, &stereo);
      ioctl(g_fd, SNDCTL_DSP_SPEED, &speed);
      ioctl(g_fd, SNDCTL_DSP_SETFMT, &bits);
    } else if (verb == "write") {
      Write(static_cast<size_t>(Num(a, 1, 0)), static_cast<size_t>(Num(a, 2, 256)));
    } else if (verb == "bytes") {
      std::string data = Unhex(Field(a, 1));
      ssize_t ret = write(g_fd, data.data(), data.size());
      std::printf("write total=%zd last=%zd errno=%s\n", ret < 0 ? 0 : ret, ret,
                  ErrName(static_cast<int>(ret), errno));
    } else if (verb == "pwrite") {
      std::string data(static_cast<size_t>(Num(a, 1, 0)), '\0');
      ssize_t ret = pwrite(g_fd, data.data(), data.size(), 0);
      std::printf("pwrite ret=%zd errno=%s\n", ret, ErrName(static_cast<int>(ret), errno));
    } else if (verb == "read") {
      char buf[4096];
      size_t n = static_cast<size_t>(Num(a, 1, 0));
      ssize_t ret = read(g_fd, buf, n < sizeof buf ? n : sizeof buf);
      std::printf("read ret=%zd errno=%s\n", ret, ErrName(static_cast<int>(ret), errno));
    } else if (verb == "ioctl") {
      if (!Ioctl(Field(a, 1), Field(a, 2))) return 2;
    } else if (verb == "fcntl") {
      std::string how = Field(a, 1);
      int flags = fcntl(g_fd, F_GETFL);
      int ret = flags;
      if (how == "nb") ret = fcntl(g_fd, F_SETFL, flags | O_NONBLOCK);
      if (how == "block") ret = fcntl(g_fd, F_SETFL, flags & ~O_NONBLOCK);
      flags = fcntl(g_fd, F_GETFL);
      std::printf("fcntl ret=%d errno=%s nonblock=%d access=%d\n", ret < 0 ? -1 : 0,
                  ErrName(ret, errno), (flags & O_NONBLOCK) ? 1 : 0, flags & O_ACCMODE);
    } else if (verb == "dup" || verb == "dup2") {
      int copy = verb == "dup" ? dup(g_fd) : dup2(g_fd, static_cast<int>(Num(a, 1, -1)));
      std::printf("dup ret=%d errno=%s\n", copy, ErrName(copy, errno));
      g_old = g_fd;
      g_fd = copy;
    } else if (verb == "stat" || verb == "lstat" || verb == "fstat") {
      struct stat st = {};
      std::string path = Field(a, 1).empty() ? dev : Field(a, 1);
      int ret = verb == "fstat" ? fstat(g_fd, &st)
                : verb == "lstat" ? lstat(path.c_str(), &st) : stat(path.c_str(), &st);
      Stat(ret, st);
    } else if (verb == "access") {
      std::string mode = Field(a, 1);
      int ret = access(dev.c_str(), mode == "x" ? X_OK : mode == "w" ? W_OK : R_OK);
      std::printf("access ret=%d errno=%s\n", ret, ErrName(ret, errno));
    } else if (verb == "pipe") {
      int ends[2];
      if (pipe(ends) != 0 || write(ends[1], "x", 1) != 1) return 2;
      g_pipe = ends[0];
    } else if (verb == "poll" || verb == "ppoll" || verb == "rawpoll" || verb == "rawppoll" ||
               verb == "select" || verb == "pselect") {
      std::string events = Field(a, 2);
      Await(verb, Num(a, 1, 0), events.empty() ? "out" : events, Field(a, 3));
    } else if (verb == "close" || verb == "closeold") {
      int ret = verb == "closeold" ? close(g_old) : g_file ? std::fclose(g_file) : close(g_fd);
      if (verb == "close") g_file = nullptr;
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
      int r = ioctl(fd, SNDCTL_DSP_RESET);
      int err = errno;
      int c = close(fd);
      std::printf("file write=%zd ioctl=%s close=%d\n", w, ErrName(r, err), c);
    } else {
      return 2;
    }
    std::fflush(stdout);
  }
  if (g_child > 0) waitpid(g_child, nullptr, 0);
  return 0;
}
