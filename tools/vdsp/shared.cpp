// The state every process of one run shares, so that the device is one
// device across fork and exec, as a kernel's is: a mapping of the memory
// file the wrapper leaves open for the run, or, when the library is
// preloaded by hand, a fresh mapping that only forked children share.
#include "sys.h"

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "vdsp.h"

namespace {

// The parts of the state, before the ring; a page is plenty.
constexpr size_t kPartsBytes = 4096;
constexpr size_t kPartAlign = 16;

enum Stage { kFresh, kStarting, kReady };

// The start of the shared state.
struct Header {
  std::atomic<int> stage;  // kFresh until the first process has set the parts up
  uint64_t ringBytes;      // the ring's size, as the first process found it
};

}  // namespace

// Stands in for the shared state when nothing can be mapped.
alignas(kPartAlign) static uint8_t g_aPrivate[kPartsBytes];
// The shared state: header and parts; null until SharedSetup.
static uint8_t *g_pParts;
// Bytes of the parts handed out so far, by this process.
static size_t g_nPartsUsed;
// This process set the state up: it writes the parts' first values.
static bool g_bFresh;

// The memory file the wrapper passed on, or -1.
static int StateFd() {
  const char *text = getenv(VDSP_ENV_STATE);
  if (!text || *text < '0' || *text > '9') return -1;
  int fd = atoi(text);
  struct stat st;
  if (syscall(SYS_fstat, fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return fd;
}

static void *Map(int fd, size_t bytes, off_t offset) {
  int flags = MAP_SHARED | (fd < 0 ? MAP_ANONYMOUS : 0);
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, fd, offset);
  return p == MAP_FAILED ? nullptr : p;
}

uint8_t *SharedSetup(size_t *ringBytes) {
  int fd = StateFd();
  struct stat st;
  if (fd >= 0 && syscall(SYS_fstat, fd, &st) == 0 && st.st_size < static_cast<off_t>(kPartsBytes))
    syscall(SYS_ftruncate, fd, static_cast<off_t>(kPartsBytes));
  g_pParts = static_cast<uint8_t *>(Map(fd, kPartsBytes, 0));
  if (!g_pParts) {
    g_pParts = g_aPrivate;
    fd = -1;
  }
  Header *h = reinterpret_cast<Header *>(g_pParts);
  g_nPartsUsed = (sizeof(Header) + kPartAlign - 1) / kPartAlign * kPartAlign;
  int fresh = kFresh;
  g_bFresh = fd < 0 || h->stage.compare_exchange_strong(fresh, kStarting);
  if (g_bFresh) {
    h->ringBytes = *ringBytes;
    if (fd >= 0) syscall(SYS_ftruncate, fd, static_cast<off_t>(kPartsBytes + *ringBytes));
  } else {
    while (h->stage.load() != kReady) sched_yield();
    *ringBytes = h->ringBytes;
  }
  return static_cast<uint8_t *>(Map(fd, *ringBytes, fd < 0 ? 0 : static_cast<off_t>(kPartsBytes)));
}

void *SharedPart(size_t bytes) {
  void *part = g_pParts + g_nPartsUsed;
  g_nPartsUsed += (bytes + kPartAlign - 1) / kPartAlign * kPartAlign;
  return g_nPartsUsed <= kPartsBytes ? part : nullptr;
}

bool SharedFresh() { return g_bFresh; }

void SharedReady() {
  if (g_bFresh) reinterpret_cast<Header *>(g_pParts)->stage.store(kReady);
}
