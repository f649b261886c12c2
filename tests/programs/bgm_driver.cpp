// Runs background playback through a script of words, for the tests:
//
//   vdlbgm_driver FILE WORD...
//
// The device is opened and FILE's header read first; the stream is closed
// and the device closed after the last word.  Each word prints one line on
// stdout:
//   flag         "flag N": vdlIsBGMPlay_WaveDSP
//   play         "play R": vdlBGMPlay_WaveDSP with FILE's stream
//   play-null    "play R": vdlBGMPlay_WaveDSP with a null stream
//   stop start end          the operations of the same name, echoed
//   out          waits until the flag reads 0, then "out N": N is the
//                number of timer signals after which it first read 0
//   live         like out, but busy: "live ok" when this loop never went
//                without time for more than kLiveGapSec, "live starved"
//                otherwise
//   signals:N    waits until N timer signals have come since the play
//   wait:MS      sleeps MS milliseconds through the timer's interruptions
//   mark         an unknown request on the device, as a mark in its trace
//   alarm        raises SIGALRM; "alarm survived" when that returns
//   int          raises SIGINT; "int survived" if that ever returns
//   hold-alarm   blocks SIGALRM, as a mask inherited from a parent would
//   threads:N    starts N threads that idle in pause() without blocking
//                SIGALRM, as a toolkit's or a runtime's threads would
//   storm:N      N pauses, each resumed after 0-3 ms, 0-5 ms apart
//   fclose       closes FILE's stream now (the caller's part after end)
//   tell         "tell ok" when the stream stands where the bytes the
//                device has played end (all it was given, on a --fast
//                device after an end), "tell AT PLAYED" otherwise
//   close-device closes the device, opens FILE.next for writing (it gets
//                the number the device had), waits 100 ms and prints
//                "next N": N bytes reached that file
//   kill:MS      a child process sends SIGINT MS milliseconds later
//   read         reads a pipe whose byte comes two seconds later: "read
//                interrupted" when the timer's signal ends the read early,
//                "read restarted" when the read waited for the byte
// Every setitimer call of the process prints "setitimer VALUE INTERVAL"
// (microseconds), also from a signal handler, except the timer handler's
// own re-arms after an overdue tick, whose number depends on the pace.
#include <vdl/wave.h>

#include "testutil.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <linux/soundcard.h>

#include <string>

namespace {

constexpr double kWaitTimeoutSec = 20;
// Ten blocks of CD sound take 14.5 ms to play; a caller that goes this long
// without running is starved.
constexpr double kLiveGapSec = 0.25;
// 'MARK': no OSS request has this number.
constexpr unsigned long kMarkRequest = 0x4d41524b;

// The module's SIGALRM action, run first by the counting handler.
struct sigaction g_saModule;
// Timer signals seen since the last play; written by the handler.
volatile sig_atomic_t g_nSignals = 0;
// g_nSignals when the flag first read 0 after a signal; 0 until then.
volatile sig_atomic_t g_nSignalsAtOut = 0;
// 1 while the module's timer handler runs.
volatile sig_atomic_t g_nInTimer = 0;

void WriteAll(const char *text) {
  size_t len = strlen(text);
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= static_cast<size_t>(n);
  }
}

void Say(const char *word, long value) {
  char line[64];
  snprintf(line, sizeof line, "%s %ld\n", word, value);
  WriteAll(line);
}

// Appends the decimal digits of v at p; returns the new end.  For use in
// the setitimer hook, which may run in a signal handler.
char *PutNumber(char *p, long v) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

long Micros(const timeval &t) { return t.tv_sec * 1000000L + t.tv_usec; }

// Runs the module's step handler, then notes when the flag has dropped.
void CountingHandler(int sig) {
  int saved = errno;
  g_nInTimer = 1;
  g_saModule.sa_handler(sig);
  g_nInTimer = 0;
  g_nSignals = g_nSignals + 1;
  if (!g_nSignalsAtOut && !vdlIsBGMPlay_WaveDSP()) g_nSignalsAtOut = g_nSignals;
  errno = saved;
}

// Keeps the module's action as it is (mask, flags) but counts signals.
void ChainCounter() {
  sigaction(SIGALRM, nullptr, &g_saModule);
  struct sigaction sa = g_saModule;
  sa.sa_handler = CountingHandler;
  g_nSignals = 0;
  g_nSignalsAtOut = 0;
  sigaction(SIGALRM, &sa, nullptr);
}

void SleepSeconds(double sec) {
  timespec ts = {static_cast<time_t>(sec),
                 static_cast<long>((sec - static_cast<double>(static_cast<time_t>(sec))) * 1e9)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Waits until done() holds; false after kWaitTimeoutSec.
template <typename Pred>
bool WaitFor(Pred done) {
  double deadline = vdltest::Now() + kWaitTimeoutSec;
  while (!done() && vdltest::Now() < deadline) SleepSeconds(0.001);
  return done();
}

void HoldAlarm() {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigprocmask(SIG_BLOCK, &alarm, nullptr);
}

// Opens path.next where the closed device's number is free again, lets
// the timer run, and prints how much reached it.
void WriteIntoNext(const char *path) {
  std::string next = std::string(path) + ".next";
  int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  SleepSeconds(0.1);
  struct stat st = {};
  fstat(fd, &st);
  Say("next", static_cast<long>(st.st_size));
  close(fd);
}

void StartIdleThreads(long n) {
  for (long i = 0; i < n; ++i) {
    pthread_t t;
    pthread_create(&t, nullptr, [](void *) -> void * {
      for (;;) pause();
    }, nullptr);
    pthread_detach(t);
  }
}

void PauseStorm(long n) {
  unsigned seed = 1;
  for (long i = 0; i < n; ++i) {
    vdlBGMStop_WaveDSP();
    SleepSeconds(rand_r(&seed) % 4 * 0.001);
    vdlBGMStart_WaveDSP();
    SleepSeconds(rand_r(&seed) % 6 * 0.001);
  }
}

void ReadSlowPipe() {
  int p[2];
  if (pipe(p) != 0) return;
  if (fork() == 0) {
    close(STDOUT_FILENO);  // the test reads stdout to its end
    close(STDERR_FILENO);
    SleepSeconds(2);
    ssize_t ignored = write(p[1], "x", 1);
    (void)ignored;
    _exit(0);
  }
  char c;
  ssize_t n = read(p[0], &c, 1);
  WriteAll(n < 0 && errno == EINTR ? "read interrupted\n" : "read restarted\n");
  close(p[0]);
  close(p[1]);
}

void KillLater(double sec) {
  pid_t parent = getpid();
  if (fork() == 0) {
    SleepSeconds(sec);
    kill(parent, SIGINT);
    _exit(0);
  }
}

}  // namespace

// Stands in for the C library's setitimer in this program (the wave library
// is linked statically, so its calls come here): logs, then asks the kernel.
// The module arms its timer once its SIGALRM action is in place: the
// counter goes in front of that action here, before the first signal.
extern "C" int setitimer(int which, const struct itimerval *nv,
                         struct itimerval *ov) noexcept {
  if (g_nInTimer && Micros(nv->it_value) != 0)
    return static_cast<int>(syscall(SYS_setitimer, which, nv, ov));
  if (Micros(nv->it_value) != 0) ChainCounter();
  char line[64] = "setitimer ";
  char *p = line + strlen(line);
  p = PutNumber(p, Micros(nv->it_value));
  *p++ = ' ';
  p = PutNumber(p, Micros(nv->it_interval));
  *p++ = '\n';
  *p = '\0';
  int saved = errno;
  WriteAll(line);
  errno = saved;
  return static_cast<int>(syscall(SYS_setitimer, which, nv, ov));
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: vdlbgm_driver FILE WORD...\n");
    return 2;
  }
  int fd = vdlOpenDevice_WaveDSP();
  if (fd < 0) return 3;
  int32_t time, stereo, channels, freq, bits, size;
  FILE *fp = vdlOpenFile_WaveDSP(argv[1], &time, &stereo, &channels, &freq, &bits, &size);
  if (!fp) return 4;
  for (int i = 2; i < argc; ++i) {
    const char *w = argv[i];
    if (!strcmp(w, "flag")) {
      Say("flag", vdlIsBGMPlay_WaveDSP());
    } else if (!strcmp(w, "play") || !strcmp(w, "play-null")) {
      Say("play", vdlBGMPlay_WaveDSP(!strcmp(w, "play") ? fp : nullptr, time, stereo,
                                     channels, freq, bits, size));
    } else if (!strcmp(w, "stop")) {
      vdlBGMStop_WaveDSP();
      WriteAll("stop\n");
    } else if (!strcmp(w, "start")) {
      vdlBGMStart_WaveDSP();
      WriteAll("start\n");
    } else if (!strcmp(w, "end")) {
      vdlEnd_WaveDSP();
      WriteAll("end\n");
    } else if (!strcmp(w, "out")) {
      if (WaitFor([] { return !vdlIsBGMPlay_WaveDSP(); }))
        Say("out", g_nSignalsAtOut);
      else
        WriteAll("out timeout\n");
    } else if (!strcmp(w, "live")) {
      double last = vdltest::Now(), widest = 0, deadline = last + kWaitTimeoutSec;
      while (vdlIsBGMPlay_WaveDSP() && last < deadline) {
        double now = vdltest::Now();
        if (now - last > widest) widest = now - last;
        last = now;
      }
      WriteAll(widest < kLiveGapSec ? "live ok\n" : "live starved\n");
    } else if (!strncmp(w, "signals:", 8)) {
      long n = atol(w + 8);
      if (!WaitFor([n] { return g_nSignals >= n; })) WriteAll("signals timeout\n");
    } else if (!strncmp(w, "wait:", 5)) {
      SleepSeconds(atof(w + 5) / 1000);
    } else if (!strncmp(w, "kill:", 5)) {
      KillLater(atof(w + 5) / 1000);
    } else if (!strncmp(w, "threads:", 8)) {
      StartIdleThreads(atol(w + 8));
    } else if (!strncmp(w, "storm:", 6)) {
      PauseStorm(atol(w + 6));
    } else if (!strcmp(w, "read")) {
      ReadSlowPipe();
    } else if (!strcmp(w, "mark")) {
      ioctl(fd, kMarkRequest, 0);
    } else if (!strcmp(w, "alarm") || !strcmp(w, "int")) {
      raise(w[0] == 'a' ? SIGALRM : SIGINT);
      WriteAll(w[0] == 'a' ? "alarm survived\n" : "int survived\n");
    } else if (!strcmp(w, "hold-alarm")) {
      HoldAlarm();
    } else if (!strcmp(w, "tell")) {
      count_info played = {};
      ioctl(fd, SNDCTL_DSP_GETOPTR, &played);
      long at = ftell(fp);
      char line[64] = "tell ok\n";
      if (at != 44L + played.bytes) snprintf(line, sizeof line, "tell %ld %d\n", at, played.bytes);
      WriteAll(line);
    } else if (!strcmp(w, "fclose")) {
      fclose(fp);
      fp = nullptr;
    } else if (!strcmp(w, "close-device")) {
      vdlCloseDevice_WaveDSP();
      WriteIntoNext(argv[1]);
    } else {
      fprintf(stderr, "vdlbgm_driver: unknown word '%s'\n", w);
      return 2;
    }
  }
  if (fp) fclose(fp);
  vdlCloseDevice_WaveDSP();
  return 0;
}
