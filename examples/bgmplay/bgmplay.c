/*
 * vdlbgm: plays one WAV file in the background and stays interactive.
 * Space pauses and resumes, q quits, Ctrl-C ends at once.  A front end
 * on <vdl/wave.h> only, written in C99 to show that the library links
 * from C.
 *
 * The background steps run in the timer's signal handler and hand the
 * device only what it takes without waiting, so this loop keeps nearly all
 * of the time and a key takes effect at once.  Ctrl-C is a signal and works
 * at any moment.  Once the sound has played out, space does nothing.
 */
#include <vdl/wave.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

enum { kPollMs = 100 };

/* The terminal's settings before raw mode; valid while g_nRaw is 1. */
static struct termios g_tSaved;
/* 1 while the keyboard is in raw mode, so the signal path knows to
 * restore it.  0 at rest. */
static volatile sig_atomic_t g_nRaw = 0;
/* 1 when the status line is redrawn in place on a terminal. */
static volatile sig_atomic_t g_nStatusTty = 0;
/* The wave module's SIGINT and SIGTERM actions, run after ours. */
static struct sigaction g_saInt, g_saTerm;

/* Writes the whole buffer, going on after signal interruptions: the
 * background playback's timer interrupts a blocked write every
 * millisecond.  Async-signal-safe. */
static void WriteAll(int fd, const char *buf, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    buf += n;
    len -= (size_t)n;
  }
}

static void RestoreTerminal(void) {
  if (!g_nRaw) return;
  while (tcsetattr(STDIN_FILENO, TCSANOW, &g_tSaved) != 0 && errno == EINTR) {
  }
  g_nRaw = 0;
}

/* SIGINT or SIGTERM: give the user a sane terminal and a fresh line, then
 * let the wave module silence the device and end the process. */
static void OnTerminate(int sig) {
  int saved = errno;
  const struct sigaction *next = sig == SIGINT ? &g_saInt : &g_saTerm;
  int info = (next->sa_flags & SA_SIGINFO) != 0;
  if (!info && next->sa_handler == SIG_IGN) return;
  RestoreTerminal();
  if (g_nStatusTty) WriteAll(STDOUT_FILENO, "\n", 1);
  if (info) {
    next->sa_sigaction(sig, NULL, NULL);
  } else if (next->sa_handler != SIG_DFL) {
    next->sa_handler(sig);
  } else {
    /* Ends the process once this handler returns. */
    signal(sig, SIG_DFL);
    raise(sig);
  }
  errno = saved;
}

static void ChainTerminationHandlers(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnTerminate;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sigaction(SIGINT, &sa, &g_saInt);
  sigaction(SIGTERM, &sa, &g_saTerm);
}

/* Keys arrive one at a time, unechoed.  Ctrl-C stays a signal, which
 * reaches the process even while a step waits for the device; Ctrl-Z and Ctrl-\
 * are switched off so that a stopped or dumped process cannot leave a raw
 * terminal behind.  Output processing stays on: "\n" starts a fresh line. */
static int EnterRawMode(void) {
  if (tcgetattr(STDIN_FILENO, &g_tSaved) != 0) return 0;
  struct termios raw = g_tSaved;
  raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | IEXTEN);
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;
  raw.c_cc[VQUIT] = _POSIX_VDISABLE;
  raw.c_iflag &= ~(tcflag_t)(IXON | ICRNL);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return 0;
  g_nRaw = 1;
  return 1;
}

enum State { kPlaying, kPaused, kPlayedOut };

static void ShowStatus(enum State state) {
  static const char *const kWords[] = {"playing", "paused", "played out"};
  static const char *const kHints[] = {"space: pause", "space: resume", ""};
  char line[96];
  int n;
  if (g_nStatusTty)
    n = snprintf(line, sizeof line, "\r[%-10s]  %-17s  q: quit ",
                 kWords[state], kHints[state]);
  else
    n = snprintf(line, sizeof line, "%s\n", kWords[state]);
  if (n > 0) WriteAll(STDOUT_FILENO, line, (size_t)n);
}

/* Waits a little for a key and returns it; 0 when none came.  Sets *eof
 * when input has ended, after which it only waits.  The wait ends early at
 * every timer signal (EINTR), which is harmless: the caller loops. */
static int ReadKey(int *eof) {
  struct pollfd pfd = {*eof ? -1 : STDIN_FILENO, POLLIN, 0};
  if (poll(&pfd, 1, kPollMs) <= 0 || *eof) return 0;
  unsigned char c;
  ssize_t n = read(STDIN_FILENO, &c, 1);
  if (n == 1) return c;
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) *eof = 1;
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: vdlbgm FILE.wav\n"
                    "  space: pause/resume  q: quit  Ctrl-C: stop at once\n");
    return 1;
  }
  if (vdlOpenDevice_WaveDSP() < 0) return 1;
  int32_t time, stereo, channels, freq, bits, size;
  FILE *fp = vdlOpenFile_WaveDSP(argv[1], &time, &stereo, &channels, &freq,
                                 &bits, &size);
  if (!fp) {
    vdlCloseDevice_WaveDSP();
    return 1;
  }
  printf("%s: %d ch, %d Hz, %d bits, %d.%02d s\n", argv[1], channels, freq,
         bits, time / 100, time % 100);
  fflush(stdout);

  ChainTerminationHandlers();
  int interactive = isatty(STDIN_FILENO) && EnterRawMode();
  g_nStatusTty = isatty(STDOUT_FILENO);

  vdlBGMPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size);
  /* The flag stays 1 for empty data: nothing will ever play. */
  enum State state = size > 0 ? kPlaying : kPlayedOut;
  enum State shown = state;
  ShowStatus(state);
  int quit = 0, eof = 0;
  while (!quit) {
    if (state == kPlaying && !vdlIsBGMPlay_WaveDSP()) state = kPlayedOut;
    if (state != shown) {
      ShowStatus(state);
      shown = state;
    }
    /* Without a keyboard, play to the end once input runs out. */
    if (eof && (interactive || state != kPlaying)) break;
    switch (ReadKey(&eof)) {
    case ' ':
      if (state == kPlaying && vdlIsBGMPlay_WaveDSP()) {
        vdlBGMStop_WaveDSP();
        state = kPaused;
      } else if (state == kPlaying) {
        /* Played out since the last look: nothing is left to pause, and
         * a pause would cut off what the device still holds. */
        state = kPlayedOut;
      } else if (state == kPaused) {
        vdlBGMStart_WaveDSP();
        state = kPlaying;
      }
      break;
    case 'q':
    case 'Q':
      /* Quit means now: drop what is queued instead of draining it. */
      vdlBGMStop_WaveDSP();
      quit = 1;
      break;
    default:
      break;
    }
  }
  vdlEnd_WaveDSP();
  RestoreTerminal();
  if (g_nStatusTty) WriteAll(STDOUT_FILENO, "\n", 1);
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  return 0;
}
