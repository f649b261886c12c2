// The device's outputs: trace lines (trace.cpp) and the recording of the
// bytes played (output.cpp). Both only append; neither calls back into the
// device. Everything here may run in signal context: no allocation, no
// stdio.
#ifndef VDSP_RECORD_H
#define VDSP_RECORD_H

#include <stddef.h>
#include <stdint.h>

// ---- trace.cpp -------------------------------------------------------------
// Kept small: lines are built on the stack of whatever calls, signal
// handlers on an alternate stack included. A longer line is cut.
constexpr size_t kTraceLineBytes = 1024;

// One trace line being built on the caller's stack.
struct TraceLine {
  char text[kTraceLineBytes];
  size_t len;
  bool on;  // a trace is kept: without one, nothing is formatted
};

// Remembers the file name (copied); nothing is opened until first use.
void TraceSetup(const char *path);
// Starts a line: timestamp and event name.
void TraceBegin(TraceLine *line, const char *event);
// Appends a free-standing word, escaped so it holds no blank and no '='.
void TraceWord(TraceLine *line, const char *word);
// Appends a free-standing number in hex, 0x and lowercase digits.
void TraceWordHex(TraceLine *line, uint64_t value);
void TraceInt(TraceLine *line, const char *key, int64_t value);
void TraceSeconds(TraceLine *line, const char *key, int64_t ns);
void TraceErrno(TraceLine *line, int err);
void TraceFlags(TraceLine *line, const char *key, int flags);
// Poll event bits by name (POLLIN|POLLOUT...), 0 for none.
void TracePollBits(TraceLine *line, const char *key, int bits);
// Ends the line and appends it to the trace file with one write.
void TraceEnd(TraceLine *line);

// ---- output.cpp ------------------------------------------------------------
// Remembers the file name (copied); a name ending in .wav gets a header.
// Finds the recording's state in the shared state (sys.h).
void OutputSetup(const char *path);
// At a device open: opens the file and, the first time in the run, sets
// the recording up (a WAV header when asked).
void OutputOpen();
// Appends played bytes; keeps a WAV header's sizes current.
void OutputPlayed(const uint8_t *bytes, size_t n);
// The format of the bytes from now on: rate, channels and an OSS format
// code the device plays (AFMT_U8, AFMT_S16_LE...). When a WAV file already
// holds bytes of another format, the recording goes on in the next file,
// said on stderr and in the trace (event output).
void OutputFormat(int32_t rate, int32_t channels, int32_t format);

#endif
