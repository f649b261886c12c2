#include "testutil.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vdltest {

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vdltest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

static void Put16(std::string &s, int16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>((v >> 8) & 0xff));
}

static void Put32(std::string &s, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((u >> (8 * i)) & 0xff));
}

std::string WavHeader(const WavFormat &w, std::size_t dataBytes) {
  int32_t size = w.dataSize >= 0 ? w.dataSize : static_cast<int32_t>(dataBytes);
  int32_t byteRate = w.byteRate >= 0 ? w.byteRate : w.rate * w.channels * w.bits / 8;
  std::string h = "RIFF";
  Put32(h, static_cast<int32_t>(36 + dataBytes));
  h += "WAVEfmt ";
  Put32(h, w.fmtSize);
  Put16(h, w.formatTag);
  Put16(h, w.channels);
  Put32(h, w.rate);
  Put32(h, byteRate);
  Put16(h, static_cast<int16_t>(w.channels * w.bits / 8));
  Put16(h, w.bits);
  h += "data";
  Put32(h, size);
  return h;
}

std::string Pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>((x >> 16) & 0xff);
  }
  return s;
}

std::string MakeWav(const WavFormat &format, const std::string &data) {
  return WavHeader(format, data.size()) + data;
}

static double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

RunResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              double timeoutSec) {
  RunResult r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string &e : env) {
      std::size_t eq = e.find('=');
      if (eq == std::string::npos)
        unsetenv(e.c_str());
      else
        setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    int nul = open("/dev/null", O_RDONLY);
    dup2(nul, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  double deadline = Now() + timeoutSec;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *sinks[2] = {&r.out, &r.err};
  int open_fds = 2;
  bool timedOut = false;
  while (open_fds > 0) {
    int left = static_cast<int>((deadline - Now()) * 1000);
    if (left <= 0) {
      timedOut = true;
      break;
    }
    if (poll(fds, 2, left) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  if (timedOut) kill(pid, SIGKILL);
  for (pollfd &p : fds)
    if (p.fd >= 0) close(p.fd);
  int st = 0;
  waitpid(pid, &st, 0);
  if (timedOut)
    r.status = -1;
  else if (WIFEXITED(st))
    r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st))
    r.status = 128 + WTERMSIG(st);
  return r;
}

}  // namespace vdltest
