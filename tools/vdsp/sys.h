// The bottom of the library: the kernel's calls for the library's own
// files and waits, the clock, and the next definition of an interposed
// call. Everything here may run in signal context: no allocation, no stdio.
#ifndef VDSP_SYS_H
#define VDSP_SYS_H

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/select.h>
#include <sys/types.h>

// A call the library defines for the program, in place of the C library's.
#define VDSP_EXPORT extern "C" __attribute__((visibility("default")))

constexpr int64_t kNsPerSecond = 1000000000;
// A wait re-checks the device at least this often, so a reset or close by
// another thread, or room freed as the queue plays, is seen.
constexpr int64_t kMaxWaitNs = 2000000;
// Stands for "no limit" where a time in nanoseconds is expected.
constexpr int64_t kForeverNs = INT64_MAX;

// These bypass every interposed symbol (ours and a sanitizer's), so the
// library never re-enters itself for its own I/O.
int SysOpen(const char *path, int flags, mode_t mode);
ssize_t SysWrite(int fd, const void *buf, size_t n);
// SysWrite until all n bytes are written, through interruptions; false on
// an error or a write that takes nothing.
bool SysWriteAll(int fd, const void *buf, size_t n);
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

// ---- shared.cpp ------------------------------------------------------------
// Maps the state the processes of one run share (forked children and
// programs they exec included), from the memory file named by
// VDSP_STATE, else a fresh mapping that only forked children share; then
// the ring of *ringBytes after it, whose size the first process of the run
// sets (*ringBytes is set to it). Returns the ring, null if it cannot be
// mapped.
uint8_t *SharedSetup(size_t *ringBytes);
// The next part of the shared state, of bytes, zero in a fresh run. Parts
// are taken at load in a fixed order, so every process finds each at the
// same place; null when the parts are used up.
void *SharedPart(size_t bytes);
// Whether this process came first: it gives the parts their first values,
// then calls SharedReady, which the others wait for in SharedSetup.
bool SharedFresh();
void SharedReady();

// A switch in the environment: on unless unset, empty or 0.
bool EnvSwitch(const char *name);

// CLOCK_MONOTONIC in nanoseconds.
int64_t NowNs();

// The calls passed on to the next definition (the C library, or a
// sanitizer runtime before it).
enum RealCall {
  kOpen, kOpen64, kOpen2, kOpen64_2, kOpenat, kOpenat64, kOpenat2, kOpenat64_2,
  kWrite, kWritev, kPwrite, kPwrite64, kPwritev, kPwritev64, kPwritev2, kPwritev64v2,
  kFopen, kFopen64, kFreopen, kFreopen64, kFdopen, kFileno, kFilenoUnlocked, kMmap, kMmap64, kRead, kReadChk, kIoctl, kClose, kFcntl, kFcntl64, kDup, kDup2, kDup3,
  kStat, kStat64, kLstat, kLstat64, kFstat, kFstat64, kFstatat, kFstatat64, kStatx,
  kAccess, kFaccessat, kEuidaccess,
  kPoll, kPpoll, kPollChk, kPpollChk, kSelect, kPselect,
  kRealCount
};
// The next definition of call, looked up on first use; null if none.
void *Real(RealCall call);

#endif
