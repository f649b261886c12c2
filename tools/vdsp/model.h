// The device model shared by the descriptor calls (device.cpp) and the
// requests (requests.cpp): the one open device's settings, its queue in
// fragments and the clock that plays it (queue.cpp). Callers hold the lock
// (Enter/Leave, or Lock/Unlock with signals already blocked) around every
// use. The model reaches only the outputs (record.h).
#ifndef VDSP_MODEL_H
#define VDSP_MODEL_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// The state of the open device, shared by the processes of a run (sys.h).
// Written under the lock; at rest between opens it keeps the last values,
// and DeviceOpen sets them afresh.
struct Model {
  size_t ringBytes;   // storage, the largest queue: -q; set by a run's first process
  bool fast;          // --fast: nothing is queued; set likewise
  bool noSpace;       // --no-space: GETOSPACE and GETODELAY refused; set likewise
  bool open;          // some descriptor holds the device
  int flags;          // open flags, O_NONBLOCK changed by fcntl and NONBLOCK
  pid_t owner;        // process that opened it
  size_t limit;       // queue size in force: fragment * fragments
  size_t fragment;    // fragment size in force
  int32_t speed, channels, format;  // the settings in force
  bool started;       // a write came since open or reset: settings are fixed
  bool triggered;     // output enabled (SETTRIGGER)
  size_t queued;      // bytes waiting to be played
  uint64_t played;    // bytes played since the open
  uint64_t playedAtPointer;  // played at the last GETOPTR
};
extern Model *g_pModel;

void Lock();
void Unlock();
// Blocks every signal into *saved, then takes the lock; Leave undoes both.
void Enter(sigset_t *saved);
void Leave(const sigset_t *saved);
// Sleeps up to ns with the lock released. With the caller's signal mask
// given, returns false when a signal handler ran meanwhile; with none,
// signals stay blocked.
bool Wait(int64_t ns, const sigset_t *callerMask);

// Finds the model, the queue and its ring in the shared state (sys.h),
// and gives them their first values in a fresh run: the -q ring size,
// --fast, --no-space and the OSS defaults.
void QueueSetup(size_t ringBytes, bool fast, bool noSpace);
// Whether the ring the queue needs is there.
bool QueueReserve();
// The fresh state of an open: OSS defaults, the -q queue, empty.
void QueueReset();
// The default layout for the -q queue: fragments of 4096 bytes or half
// the queue when that is smaller.
void QueueDefaultLayout();
int32_t SampleBytes(int32_t format);
// The fragments the queue is counted in: limit / fragment, rounded up.
size_t FragmentsTotal();
// Bytes of one frame (a sample of each channel) at the settings in force.
size_t FrameBytes();
// Room free now, in whole frames: limit - queued, the limit cut to whole
// frames; 0 when a smaller layout left more queued.
size_t Room();
// Plays the whole frames the time since the last call allows; nothing
// while the output is not triggered. An idle device earns no credit.
void Advance();
void Enqueue(const uint8_t *bytes, size_t n);
// Drops the queue unplayed; returns the bytes dropped.
size_t Drop();
// Time until at most target bytes are left queued. The clock plays whole
// frames only, so a partial frame past them leaves only polling (the
// longest wait) until a write completes it or a drain plays it.
int64_t NsUntilQueued(size_t target);
// Time until Room() holds want bytes (or as much as the queue can).
int64_t NsUntilRoom(size_t want);
// Waits until the queue has played out or the device was closed
// meanwhile; false when a signal ended the wait. Starts a stopped output
// first.
bool Drain(const sigset_t *callerMask);
// The settings in force changed: the recording hears of them with the
// next bytes played, so an open that plays nothing leaves it as it is.
void AnnounceFormat();
// Bytes played: to the recording, in the settings in force.
void Record(const uint8_t *bytes, size_t n);

#endif
