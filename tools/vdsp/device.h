// The device as the interposed calls see it (intercept.cpp, files.cpp,
// ready.cpp): which paths and descriptors are the device, and the calls
// on them. Implemented by device.cpp, and requests.cpp for ioctl. Every
// call here may run in a signal handler: no allocation, no stdio.
#ifndef VDSP_DEVICE_H
#define VDSP_DEVICE_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Reads the settings the wrapper left in the environment; again is a
// no-op. Runs at load, or at the first open if another library's
// constructor opens files first.
void DeviceConfigure();
// Finds who holds the device in the shared state (sys.h); a forked child
// holds what its parent held.
void DeviceSetup();
// Once the shared state is ready: the descriptors of the device a program
// inherited through exec hold it again; when it inherited none, it lets go
// of the device, and closes it as the last holder.
void DeviceInherit();
// Whether path names the device: one of the device paths, byte for byte;
// a path relative to a directory descriptor never does.
bool DevicePath(int dirfd, const char *path);

// Opens the device on behalf of open(2) for path; returns the descriptor
// or -1 with errno set, as open(2) does.
int DeviceOpen(const char *path, int flags);
bool DeviceOwns(int fd);
// Copies the descriptors that hold the open device into fds, up to max;
// returns how many there are (0 while it is closed).
int DeviceDescriptors(int *fds, int max);
ssize_t DeviceWrite(int fd, const void *buf, size_t n);
// Recording is not emulated: fails with EINVAL.
ssize_t DeviceRead(int fd, size_t n);
int DeviceIoctl(int fd, unsigned int request, void *arg);
// Closes one descriptor; the last one closes the device, after the queue
// has played, as OSS drivers do.
int DeviceClose(int fd);
// fcntl's F_GETFL (arg unused) and F_SETFL, for the device's open flags;
// the result as fcntl's.
int DeviceFlags(int fd, int cmd, int arg);
// newfd, made by dup, dup2, dup3 or fcntl from fd, holds the device too;
// -1 with EMFILE (newfd closed) when no more descriptors can.
int DeviceDuplicated(int fd, int newfd);
// fd stops holding the device without being closed here (dup2 is about to
// replace it); the last one closes the device.
void DeviceForget(int fd);

// Whether fd is the device and has a fragment of room, the readiness poll
// and select report; when it has none yet, *nsUntil is how long the queue
// takes to free one (left alone otherwise). This and DeviceTraceReady are
// called with every signal blocked already, so they only take the lock.
bool DeviceWritable(int fd, int64_t *nsUntil);
// Logs a poll or select call (event) that had the device among its
// descriptors: the poll bits asked of the device and reported for it, the
// call's result, and when it started.
void DeviceTraceReady(const char *event, int fd, int events, int revents, int ret, int err,
                      int64_t startNs);
// At process end with the device still open: plays the queue out.
void DeviceAtExit();

// ---- ready.cpp -------------------------------------------------------------
// Reads --no-poll from the environment: poll and select then do not see
// the device, like an emulation that does not interpose them.
void ReadySetup();

#endif
