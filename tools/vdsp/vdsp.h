// Private interface between the parts of the virtual OSS device library:
// intercept.cpp (the exported calls and the settings), device.cpp (queue,
// pacing and requests) and record.cpp (trace lines and the output file).
// Everything here may run in signal context: no allocation, no stdio.
#ifndef VDSP_VDSP_H
#define VDSP_VDSP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Names of the environment variables the wrapper sets for the library.
#define VDSP_ENV_DEVICES "VDSP_DEVICES"
#define VDSP_ENV_QUEUE "VDSP_QUEUE"
#define VDSP_ENV_FAST "VDSP_FAST"
#define VDSP_ENV_OUTPUT "VDSP_OUTPUT"
#define VDSP_ENV_TRACE "VDSP_TRACE"

constexpr size_t kDefaultQueueBytes = 65536;
constexpr size_t kMaxQueueBytes = size_t{64} << 20;
constexpr size_t kPathBytes = 4096;

// ---- intercept.cpp: raw system calls for the library's own files -------
// These bypass every interposed symbol (ours and a sanitizer's), so the
// library never re-enters itself for its own I/O.
int SysOpen(const char *path, int flags, mode_t mode);
ssize_t SysWrite(int fd, const void *buf, size_t n);
ssize_t SysPwrite(int fd, const void *buf, size_t n, off_t offset);
int SysClose(int fd);
// Moves a descriptor the library keeps to a high number, out of the way of
// the program's own descriptors; returns the descriptor to use.
int SysMoveHigh(int fd);

// ---- record.cpp: trace lines and the output file ------------------------
// Kept small: lines are built on the stack of whatever calls, signal
// handlers on an alternate stack included. A longer line is cut.
constexpr size_t kTraceLineBytes = 1024;

// One trace line being built on the caller's stack.
struct TraceLine {
  char text[kTraceLineBytes];
  size_t len;
};

// Remembers the file names (copied); nothing is opened until first use.
void RecordSetup(const char *tracePath, const char *outputPath);
// Starts a line: timestamp and event name.
void TraceBegin(TraceLine *line, const char *event);
// Appends a free-standing word, escaped so it holds no blank and no '='.
void TraceWord(TraceLine *line, const char *word);
// Appends a free-standing number in hex, 0x and lowercase digits.
void TraceWordHex(TraceLine *line, uint64_t value);
void TraceInt(TraceLine *line, const char *key, int64_t value);
void TraceText(TraceLine *line, const char *key, const char *value);
void TraceSeconds(TraceLine *line, const char *key, int64_t ns);
void TraceErrno(TraceLine *line, int err);
void TraceFlags(TraceLine *line, int flags);
// Ends the line and appends it to the trace file with one write.
void TraceEnd(TraceLine *line);

// Opens the output file on first use and writes a WAV header when asked.
void OutputOpen();
// Appends played bytes; keeps a WAV header's sizes current.
void OutputPlayed(const uint8_t *bytes, size_t n);
// The format a WAV header describes from now on.
void OutputFormat(int32_t rate, int32_t channels, int32_t bytesPerSample);

int64_t NowNs();

// ---- device.cpp: the emulated device ------------------------------------
void DeviceSetup(size_t queueBytes, bool fast);
// Opens the device on behalf of open(2) for path; returns the descriptor
// or -1 with errno set, as open(2) does.
int DeviceOpen(const char *path, int flags);
bool DeviceOwns(int fd);
ssize_t DeviceWrite(int fd, const void *buf, size_t n);
int DeviceIoctl(int fd, unsigned int request, void *arg);
int DeviceClose(int fd);
// At process end with the device still open: plays the queue out.
void DeviceAtExit();

#endif
