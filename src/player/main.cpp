// vdlplay: plays the Linear PCM WAV files named on the command line, in
// order, through the DSP device, with a short report on each.
#include "vdl/wave.h"

#include "convunit.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kMaxFiles = 100;
constexpr int kCommandSize = 32;
// A name is kept whole or refused, never cut: a cut name is another file.
constexpr int kFileNameSize = PATH_MAX;
constexpr int kSizeTextSize = 32;
// How much of a refused name the message shows.
constexpr int kShownNameLength = 64;

// Command name for the usage line: the invocation name after its last '/',
// cut to 31 characters.  Filled by arginit.
char g_cCommand[kCommandSize];
// The file names in command-line order.  Filled by arginit.
char g_cFileName[kMaxFiles][kFileNameSize];
// Number of names in g_cFileName, 0 to 100.
int32_t g_nFiles = 0;

void usage(int withUsage) {
  fprintf(stderr, ">>> Vandrel Linear PCM Wave Player <<<\n");
  fprintf(stderr, "- Ver00.30 since 2000.09 -\n");
  fprintf(stderr, "- Copyright (C) 2000-2026 The vdlplay authors -\n");
  fprintf(stderr, "\n");
  fprintf(stderr, " Vandrel Linear PCM Wave Player (Command line version) ... \n");
  fprintf(stderr, "\n");
  if (withUsage) {
    fprintf(stderr, " Usage: %s [-help] WaveFiles\n", g_cCommand);
    fprintf(stderr, " -help(or -h) ... This message\n");
    fprintf(stderr, "  WaveFiles   ... Linear PCM wave files name\n\n");
  }
}

void arginit(int argc, char **argv) {
  const char *invocation = argc > 0 && argv[0] ? argv[0] : "vdlplay";
  const char *slash = strrchr(invocation, '/');
  snprintf(g_cCommand, sizeof g_cCommand, "%s", slash ? slash + 1 : invocation);
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "-help") == 0 || strcmp(arg, "-h") == 0) {
      usage(1);
      exit(0);
    }
    if (g_nFiles == kMaxFiles) {
      fprintf(stderr, "Warring: Too many file. Less than %d files.\n", kMaxFiles);
      break;
    }
    if (strlen(arg) >= sizeof g_cFileName[0]) {
      fprintf(stderr, "Error: Wave - File name too long (%.*s...).\n",
              kShownNameLength, arg);
      continue;
    }
    strcpy(g_cFileName[g_nFiles++], arg);
  }
}

// The time fields truncate toward zero, so a negative time prints negative
// fields.
void Report(const char *name, int32_t time, int32_t stereo, int32_t channels,
            int32_t freq, int32_t bits, int32_t size) {
  char sizeText[kSizeTextSize];
  ConvUnitString(size, sizeText, sizeof sizeText);
  printf("--------------------------------\n");
  printf("File name    : %s\n", name);
  printf("Sound        : %s\n", stereo == 0 ? "Mono" : "Stereo");
  printf("Channels     : %d\n", channels);
  printf("Sampling freq: %d Hz\n", freq);
  printf("Bits         : %d bits\n", bits);
  printf("Data Size    : %s Bytes\n", sizeText);
  printf("Total Times  : %d'%02d\"%02d\n\n", time / 6000, time / 100 % 60, time % 100);
  // A signal ends the process without flushing stdio: flush now, so the
  // report is never lost when stdout is a file or a pipe.
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  arginit(argc, argv);
  if (g_nFiles == 0) {
    usage(1);
    exit(1);
  }
  usage(0);
  // A device that is a pipe or socket whose reader has gone refuses the
  // write like any other device, rather than ending the player unseen.
  signal(SIGPIPE, SIG_IGN);
  if (vdlOpenDevice_WaveDSP() < 0) exit(1);
  int status = 0;
  for (int i = 0; i < g_nFiles; ++i) {
    int32_t time, stereo, channels, freq, bits, size;
    FILE *fp = vdlOpenFile_WaveDSP(g_cFileName[i], &time, &stereo, &channels, &freq,
                                   &bits, &size);
    if (!fp) continue;
    Report(g_cFileName[i], time, stereo, channels, freq, bits, size);
    // A bad file leaves the status alone; a device that refused sound
    // does not.
    if (!vdlPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size) && errno != 0)
      status = 1;
    fclose(fp);
  }
  vdlCloseDevice_WaveDSP();
  exit(status);
}
