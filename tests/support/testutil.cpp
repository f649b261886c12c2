#include "testutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "wav_header.h"

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

std::vector<std::string> ListDir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Le32(int32_t v) {
  uint8_t b[4];
  vdl::PutLe(b, static_cast<uint32_t>(v), 4);
  return {reinterpret_cast<const char *>(b), sizeof b};
}

std::string WavHeader(const WavFormat &w, std::size_t dataBytes) {
  int32_t size = w.dataSize != -1 ? w.dataSize : static_cast<int32_t>(dataBytes);
  int32_t byteRate = w.byteRate != -1 ? w.byteRate : w.rate * w.channels * w.bits / 8;
  uint8_t h[vdl::kWavHeaderBytes];
  vdl::PutWavHeader(h, {.riffSize = static_cast<uint32_t>(36 + dataBytes),
                        .fmtSize = static_cast<uint32_t>(w.fmtSize),
                        .formatTag = static_cast<uint16_t>(w.formatTag),
                        .channels = static_cast<uint16_t>(w.channels),
                        .rate = static_cast<uint32_t>(w.rate),
                        .byteRate = static_cast<uint32_t>(byteRate),
                        .blockAlign = static_cast<uint16_t>(w.channels * w.bits / 8),
                        .bits = static_cast<uint16_t>(w.bits),
                        .dataSize = static_cast<uint32_t>(size)});
  return {reinterpret_cast<const char *>(h), sizeof h};
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

int Count(const std::string &text, const std::string &what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size()))
    ++n;
  return n;
}

std::string CaptureStderr(const std::function<void()> &fn) {
  fflush(stderr);
  FILE *sink = tmpfile();
  int saved = dup(STDERR_FILENO);
  dup2(fileno(sink), STDERR_FILENO);
  fn();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text;
  rewind(sink);
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, sink)) > 0;) text.append(buf, n);
  fclose(sink);
  return text;
}

std::string FindOnPath(const std::string &name) {
  std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

std::string FindFirstFile(const std::vector<std::string> &patterns) {
  for (const std::string &pattern : patterns) {
    glob_t g;
    std::string found;
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0) found = g.gl_pathv[0];
    globfree(&g);
    if (!found.empty()) return found;
  }
  return "";
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// In the child: the environment changed, the standard descriptors set, the
// termination signals back to their defaults, then argv.
[[noreturn]] static void Exec(const std::vector<std::string> &argv,
                              const std::vector<std::string> &env, int out, int err) {
  for (const std::string &e : env) {
    std::size_t eq = e.find('=');
    if (eq == std::string::npos)
      unsetenv(e.c_str());
    else
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
  }
  int nul = open("/dev/null", O_RDONLY);
  if (nul < 0 || out < 0 || err < 0) _exit(127);
  dup2(nul, 0);
  dup2(out, 1);
  dup2(err, 2);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

static int Status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

RunResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              double timeoutSec) {
  RunResult r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) Exec(argv, env, out[1], err[1]);
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
  r.status = timedOut ? -1 : Status(st);
  return r;
}

pid_t Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &outPath, const std::string &errPath) {
  pid_t pid = fork();
  if (pid == 0)
    Exec(argv, env, open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
         open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  return pid;
}

int Wait(pid_t pid, double timeoutSec) {
  for (double end = Now() + timeoutSec; Now() < end; usleep(2000)) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) return Status(st);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace vdltest
