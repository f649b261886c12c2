// Private interface between the parts of the virtual OSS device library:
// intercept.cpp (the exported calls and the settings), ready.cpp (poll and
// select), device.cpp (queue, pacing and requests) and record.cpp (trace
// lines and the output file).
// Everything here may run in signal context: no allocation, no stdio.
#ifndef VDSP_VDSP_H
#define VDSP_VDSP_H

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/select.h>
#include <sys/types.h>

// Names of the environment variables the wrapper sets for the library.
#define VDSP_ENV_DEVICES "VDSP_DEVICES"
#define VDSP_ENV_QUEUE "VDSP_QUEUE"
#define VDSP_ENV_FAST "VDSP_FAST"
#define VDSP_ENV_OUTPUT "VDSP_OUTPUT"
#define VDSP_ENV_TRACE "VDSP_TRACE"
#define VDSP_ENV_NO_SPACE "VDSP_NO_SPACE"
#define VDSP_ENV_NO_POLL "VDSP_NO_POLL"

// A call the library defines for the program, in place of the C library's.
#define VDSP_EXPORT extern "C" __attribute__((visibility("default")))

constexpr size_t kDefaultQueueBytes = 65536;
constexpr size_t kMaxQueueBytes = size_t{64} << 20;
constexpr size_t kPathBytes = 4096;
constexpr int64_t kNsPerSecond = 1000000000;
// A wait re-checks the device at least this often, so a reset or close by
// another thread, or room freed as the queue plays, is seen.
constexpr int64_t kMaxWaitNs = 2000000;
// Stands for "no limit" where a time in nanoseconds is expected.
constexpr int64_t kForeverNs = INT64_MAX;

// ---- intercept.cpp: raw system calls for the library's own files -------
// These bypass every interposed symbol (ours and a sanitizer's), so the
// library never re-enters itself for its own I/O.
int SysOpen(const char *path, int flags, mode_t mode);
ssize_t SysWrite(int fd, const void *buf, size_t n);
ssize_t SysPwrite(int fd, const void *buf, size_t n, off_t offset);
int SysClose(int fd);
// The kernel's ppoll and pselect: a null timeout waits for ever, a null
// mask keeps the current one. The kernel may change *timeout.
int SysPpoll(pollfd *fds, nfds_t n, timespec *timeout, const sigset_t *mask);
int SysPselect(int n, fd_set *in, fd_set *out, fd_set *except, timespec *timeout,
               const sigset_t *mask);
// Moves a descriptor the library keeps to a high number, out of the way of
// the program's own descriptors; returns the descriptor to use.
int SysMoveHigh(int fd);

// The calls passed on to the next definition (the C library, or a
// sanitizer runtime before it).
enum RealCall {
  kOpen, kOpen64, kOpen2, kOpen64_2, kOpenat, kOpenat64, kOpenat2, kOpenat64_2,
  kWrite, kIoctl, kClose, kPoll, kPpoll, kPollChk, kPpollChk, kSelect, kPselect,
  kRealCount
};
// The next definition of call, looked up on first use; null if none.
void *Real(RealCall call);

// ---- ready.cpp: poll and select ------------------------------------------
// With hidden set, poll and select do not see the device: they act on the
// descriptor underneath, like an emulation that does not interpose them.
void ReadySetup(bool hidden);

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
// Poll event bits by name (POLLIN|POLLOUT...), 0 for none.
void TracePollBits(TraceLine *line, const char *key, int bits);
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
// With noSpace set, the space and delay requests are unknown, like an
// emulation that lacks them.
void DeviceSetup(size_t queueBytes, bool fast, bool noSpace);
// Opens the device on behalf of open(2) for path; returns the descriptor
// or -1 with errno set, as open(2) does.
int DeviceOpen(const char *path, int flags);
bool DeviceOwns(int fd);
// The open device's descriptor, -1 while it is closed.
int DeviceDescriptor();
ssize_t DeviceWrite(int fd, const void *buf, size_t n);
int DeviceIoctl(int fd, unsigned int request, void *arg);
int DeviceClose(int fd);
// Whether fd is the device and has a fragment of room, the readiness poll
// and select report; when it has none yet, *nsUntil is how long the queue
// takes to free one (left alone otherwise).  This and DeviceTraceReady are
// called with every signal blocked already, so they only take the lock.
bool DeviceWritable(int fd, int64_t *nsUntil);
// Logs a poll or select call (event) that had the device among its
// descriptors: the poll bits asked of the device and reported for it, the
// call's result, and when it started.
void DeviceTraceReady(const char *event, int fd, int events, int revents, int ret, int err,
                      int64_t startNs);
// At process end with the device still open: plays the queue out.
void DeviceAtExit();

#endif
