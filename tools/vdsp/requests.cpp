// The requests the device answers, as a table: each row names a request,
// how its argument is passed, and its effect on the model. DeviceIoctl
// looks the request up, runs the effect under the lock and logs one trace
// line. Settings are taken while the device is idle (after open, RESET or
// HALT); once a write started it, a setting answers the value in force,
// as OSS 4 does, so the recording keeps one format.
#include "device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <string.h>

#include "model.h"
#include "record.h"
#include "sys.h"

namespace {

// The formats the device plays and records faithfully.
constexpr int kPlayedFormats =
    AFMT_U8 | AFMT_S8 | AFMT_S16_LE | AFMT_S16_BE | AFMT_U16_LE | AFMT_U16_BE;
// The format it takes for one it does not play.
constexpr int kFallbackFormat = AFMT_S16_LE;
constexpr int32_t kMinSpeed = 1;
constexpr int32_t kMaxSpeed = 384000;
constexpr int32_t kMaxChannels = 8;
// SETFRAGMENT's size selector, a power of two: 16 bytes to 64 KiB.
constexpr int kMinFragmentShift = 4;
constexpr int kMaxFragmentShift = 16;
// SETFRAGMENT's count, MMMM: 0x7fff means as many as fit.
constexpr size_t kMaxFragments = 0x7fff;
// Playback that can be triggered; no mmap, no recording, no duplex.
constexpr int kCapabilities = DSP_CAP_TRIGGER | DSP_CAP_REALTIME;

// How a request's argument is passed.
enum Arg {
  kNone,     // no argument
  kIn,       // an int read
  kInOut,    // an int read, the answer written back
  kOut,      // an int written
  kSpace,    // an audio_buf_info written
  kPointer,  // a count_info written
};

// What a request does; the answer is written back as Arg says.
enum Effect {
  kReset,      // drops the queue, settings free again
  kSync,       // waits until the queue has played
  kPost,       // starts a stopped output
  kNonBlock,   // writes stop waiting, as O_NONBLOCK
  kSpeed, kStereo, kChannels, kSetFmt, kFragment,  // settings
  kGetFormats, kGetCaps, kGetVersion, kGetBlockSize, kGetTrigger, kSetTrigger,  // answers
  kReadRate, kReadChannels, kReadBits,
  kGetOSpace, kGetODelay, kGetOPointer,
  kAccept,     // taken and ignored
  kRefuse,     // out of scope (recording, mmap, duplex): EINVAL
};

struct Request {
  unsigned int number;  // as the kernel takes it: 32 bits
  const char *name;
  Arg arg;
  Effect effect;
};

constexpr Request kRequests[] = {
    {SNDCTL_DSP_RESET, "SNDCTL_DSP_RESET", kNone, kReset},
    {SNDCTL_DSP_SYNC, "SNDCTL_DSP_SYNC", kNone, kSync},
    {SNDCTL_DSP_POST, "SNDCTL_DSP_POST", kNone, kPost},
    {SNDCTL_DSP_NONBLOCK, "SNDCTL_DSP_NONBLOCK", kNone, kNonBlock},
    {SNDCTL_DSP_SPEED, "SNDCTL_DSP_SPEED", kInOut, kSpeed},
    {SNDCTL_DSP_STEREO, "SNDCTL_DSP_STEREO", kInOut, kStereo},
    {SNDCTL_DSP_CHANNELS, "SNDCTL_DSP_CHANNELS", kInOut, kChannels},
    {SNDCTL_DSP_SETFMT, "SNDCTL_DSP_SETFMT", kInOut, kSetFmt},
    {SNDCTL_DSP_SETFRAGMENT, "SNDCTL_DSP_SETFRAGMENT", kInOut, kFragment},
    {SNDCTL_DSP_GETFMTS, "SNDCTL_DSP_GETFMTS", kOut, kGetFormats},
    {SNDCTL_DSP_GETCAPS, "SNDCTL_DSP_GETCAPS", kOut, kGetCaps},
    {OSS_GETVERSION, "OSS_GETVERSION", kOut, kGetVersion},
    {SNDCTL_DSP_GETBLKSIZE, "SNDCTL_DSP_GETBLKSIZE", kOut, kGetBlockSize},
    {SNDCTL_DSP_GETTRIGGER, "SNDCTL_DSP_GETTRIGGER", kOut, kGetTrigger},
    {SNDCTL_DSP_SETTRIGGER, "SNDCTL_DSP_SETTRIGGER", kIn, kSetTrigger},
    {SOUND_PCM_READ_RATE, "SOUND_PCM_READ_RATE", kOut, kReadRate},
    {SOUND_PCM_READ_CHANNELS, "SOUND_PCM_READ_CHANNELS", kOut, kReadChannels},
    {SOUND_PCM_READ_BITS, "SOUND_PCM_READ_BITS", kOut, kReadBits},
    {SNDCTL_DSP_GETOSPACE, "SNDCTL_DSP_GETOSPACE", kSpace, kGetOSpace},
    {SNDCTL_DSP_GETODELAY, "SNDCTL_DSP_GETODELAY", kOut, kGetODelay},
    {SNDCTL_DSP_GETOPTR, "SNDCTL_DSP_GETOPTR", kPointer, kGetOPointer},
    {SNDCTL_DSP_SUBDIVIDE, "SNDCTL_DSP_SUBDIVIDE", kIn, kAccept},
    {SNDCTL_DSP_PROFILE, "SNDCTL_DSP_PROFILE", kIn, kAccept},
    {SNDCTL_DSP_GETISPACE, "SNDCTL_DSP_GETISPACE", kSpace, kRefuse},
    {SNDCTL_DSP_GETIPTR, "SNDCTL_DSP_GETIPTR", kPointer, kRefuse},
    {SNDCTL_DSP_MAPINBUF, "SNDCTL_DSP_MAPINBUF", kNone, kRefuse},
    {SNDCTL_DSP_MAPOUTBUF, "SNDCTL_DSP_MAPOUTBUF", kNone, kRefuse},
    {SNDCTL_DSP_SETDUPLEX, "SNDCTL_DSP_SETDUPLEX", kNone, kRefuse},
    {SNDCTL_DSP_SETSYNCRO, "SNDCTL_DSP_SETSYNCRO", kNone, kRefuse},
};

// What one request did, for its trace line.
struct Outcome {
  int err;
  int32_t value, answer;   // read through the argument, written back
  size_t dropped;          // RESET
  uint64_t drained;        // SYNC
  audio_buf_info space;    // GETOSPACE
  count_info pointer;      // GETOPTR
};

}  // namespace

static const Request *Find(unsigned int number) {
  for (const Request &r : kRequests)
    if (r.number == number) return &r;
  return nullptr;
}

static int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : v; }

static size_t Shift(size_t fragment) {
  size_t shift = 0;
  while ((size_t{1} << (shift + 1)) <= fragment) ++shift;
  return shift;
}

// The fragment layout SETFRAGMENT asks for (0xMMMMSSSS: at most MMMM
// fragments of 2^SSSS bytes), held to the storage; returns it in the same
// form.
static int32_t Fragments(int32_t value) {
  int shift = Clamp(value & 0xffff, kMinFragmentShift, kMaxFragmentShift);
  while (shift > 0 && (size_t{1} << shift) * 2 > g_pModel->ringBytes) --shift;
  size_t fragment = size_t{1} << shift;
  size_t most = g_pModel->ringBytes / fragment;
  size_t count = static_cast<uint32_t>(value) >> 16;
  if (count < 2) count = 2;
  if (count > kMaxFragments) count = kMaxFragments;
  if (count > most) count = most;
  g_pModel->fragment = fragment;
  g_pModel->limit = fragment * count;
  return static_cast<int32_t>(count << 16 | static_cast<size_t>(shift));
}

// Whether the device plays format: one of its codes, alone.
static bool Played(int32_t format) {
  return format > 0 && (format & kPlayedFormats) == format && (format & (format - 1)) == 0;
}

// Stores a setting unless the device has started; returns the value taken.
static int32_t Setting(Effect effect, int32_t v) {
  bool fixed = g_pModel->started;
  switch (effect) {
    case kSpeed:
      if (!fixed) g_pModel->speed = Clamp(v, kMinSpeed, kMaxSpeed);
      return g_pModel->speed;
    case kStereo:
      if (!fixed) g_pModel->channels = v ? 2 : 1;
      return g_pModel->channels > 1 ? 1 : 0;
    case kChannels:
      if (!fixed) g_pModel->channels = Clamp(v, 1, kMaxChannels);
      return g_pModel->channels;
    case kSetFmt:
      if (!fixed && v != AFMT_QUERY) g_pModel->format = Played(v) ? v : kFallbackFormat;
      return g_pModel->format;
    default:
      if (fixed) return static_cast<int32_t>(FragmentsTotal() << 16 | Shift(g_pModel->fragment));
      return Fragments(v);
  }
}

static audio_buf_info Space() {
  audio_buf_info space{};
  space.fragsize = static_cast<int>(g_pModel->fragment);
  space.fragstotal = static_cast<int>(FragmentsTotal());
  space.bytes = static_cast<int>(Room());
  space.fragments = static_cast<int>(Room() / g_pModel->fragment);
  return space;
}

// Where playing stands: bytes played (wrapping as an int does), fragments
// played since the last call, and the play position in the queue.
static count_info Pointer() {
  count_info info{};
  info.bytes = static_cast<int>(g_pModel->played & 0x7fffffff);
  info.blocks = static_cast<int>((g_pModel->played - g_pModel->playedAtPointer) / g_pModel->fragment);
  info.ptr = static_cast<int>(g_pModel->played % g_pModel->limit);
  g_pModel->playedAtPointer = g_pModel->played;
  return info;
}

// Runs a known request's effect; the answer goes to out->answer, or to
// the structures.
static void Run(const Request &r, Outcome *out, const sigset_t *mask) {
  uint64_t before = g_pModel->played;
  switch (r.effect) {
    case kReset:
      out->dropped = Drop();
      g_pModel->started = false;
      g_pModel->triggered = true;
      break;
    case kSync:
      if (!Drain(mask)) out->err = EINTR;
      out->drained = g_pModel->played - before;
      break;
    case kPost: g_pModel->triggered = true; break;
    case kNonBlock: g_pModel->flags |= O_NONBLOCK; break;
    case kSpeed: case kStereo: case kChannels: case kSetFmt: case kFragment:
      out->answer = Setting(r.effect, out->value);
      AnnounceFormat();
      break;
    case kGetFormats: out->answer = kPlayedFormats; break;
    case kGetCaps: out->answer = kCapabilities; break;
    case kGetVersion: out->answer = SOUND_VERSION; break;
    case kGetBlockSize: out->answer = static_cast<int32_t>(g_pModel->fragment); break;
    case kGetTrigger: out->answer = g_pModel->triggered ? PCM_ENABLE_OUTPUT : 0; break;
    case kSetTrigger: g_pModel->triggered = (out->value & PCM_ENABLE_OUTPUT) != 0; break;
    case kReadRate: out->answer = g_pModel->speed; break;
    case kReadChannels: out->answer = g_pModel->channels; break;
    case kReadBits: out->answer = SampleBytes(g_pModel->format) * 8; break;
    case kGetOSpace: out->space = Space(); break;
    case kGetODelay: out->answer = static_cast<int32_t>(g_pModel->queued); break;
    case kGetOPointer: out->pointer = Pointer(); break;
    case kAccept: break;
    case kRefuse: out->err = EINVAL; break;
  }
}

static void Trace(int fd, unsigned int number, const Request *r, const Outcome &o,
                  int64_t startNs) {
  TraceLine line;
  TraceBegin(&line, "ioctl");
  if (r)
    TraceWord(&line, r->name);
  else
    TraceWordHex(&line, number);
  TraceInt(&line, "fd", fd);
  bool done = r && !o.err;
  if (done && (r->arg == kIn || r->arg == kInOut)) TraceInt(&line, "arg", o.value);
  TraceInt(&line, "ret", o.err ? -1 : 0);
  if (o.err) TraceErrno(&line, o.err);
  if (r && r->effect == kSync) {
    TraceInt(&line, "drained", static_cast<int64_t>(o.drained));
    TraceInt(&line, "queued", static_cast<int64_t>(g_pModel->queued));
    TraceSeconds(&line, "waited", NowNs() - startNs);
  }
  if (!done) return TraceEnd(&line);
  if (r->effect == kReset) TraceInt(&line, "dropped", static_cast<int64_t>(o.dropped));
  if (r->arg == kInOut || r->arg == kOut) TraceInt(&line, "val", o.answer);
  if (r->effect == kFragment) {
    TraceInt(&line, "fragsize", static_cast<int64_t>(g_pModel->fragment));
    TraceInt(&line, "fragstotal", static_cast<int64_t>(FragmentsTotal()));
  }
  if (r->effect == kGetOSpace) {
    TraceInt(&line, "bytes", o.space.bytes);
    TraceInt(&line, "fragments", o.space.fragments);
    TraceInt(&line, "fragsize", o.space.fragsize);
    TraceInt(&line, "fragstotal", o.space.fragstotal);
  }
  if (r->effect == kGetOPointer) {
    TraceInt(&line, "bytes", o.pointer.bytes);
    TraceInt(&line, "blocks", o.pointer.blocks);
    TraceInt(&line, "ptr", o.pointer.ptr);
  }
  if (r->effect == kGetOSpace || r->effect == kGetODelay || r->effect == kGetOPointer)
    TraceInt(&line, "queued", static_cast<int64_t>(g_pModel->queued));
  TraceEnd(&line);
}

int DeviceIoctl(int fd, unsigned int number, void *arg) {
  int savedErrno = errno;
  sigset_t mask;
  Enter(&mask);
  if (!DeviceOwns(fd)) {
    Leave(&mask);
    errno = EBADF;
    return -1;
  }
  int64_t start = NowNs();
  Advance();  // what is queued so far plays at the rate it was queued at
  const Request *r = Find(number);
  Outcome o{};
  bool space = r && (r->effect == kGetOSpace || r->effect == kGetODelay);
  if (!r || (space && g_pModel->noSpace)) {
    o.err = EINVAL;
  } else if (r->arg != kNone && !arg && r->effect != kRefuse) {
    o.err = EFAULT;
  } else {
    if (r->arg == kIn || r->arg == kInOut) memcpy(&o.value, arg, sizeof o.value);
    Run(*r, &o, &mask);
    if (!o.err && (r->arg == kInOut || r->arg == kOut)) memcpy(arg, &o.answer, sizeof o.answer);
    if (!o.err && r->arg == kSpace) memcpy(arg, &o.space, sizeof o.space);
    if (!o.err && r->arg == kPointer) memcpy(arg, &o.pointer, sizeof o.pointer);
  }
  Trace(fd, number, r, o, start);
  Leave(&mask);
  errno = o.err ? o.err : savedErrno;
  return o.err ? -1 : 0;
}
