// Kernel host: the executive's pool, with per-tag accounting, the quarantine
// that keeps freed memory poisoned for a while, and the fault injection that
// makes any kernel routine fail the way the platform's does.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "internal.h"
#include "ptrmap.h"
#include "scan.h"

namespace khost {
namespace {

// New pool is never zeroed by the kernel; a pattern makes reads of unwritten
// bytes visible.
constexpr unsigned char kFreshPoolFill = 0xCD;
constexpr unsigned char kFreedFill = kFreedMemoryFill;
// Behind every block lie guard bytes, checked when the block is freed: a
// write past the end (an allocation one short, a copy one too long) is caught
// in every build, not only where ASan's redzones sit behind the block.
// Under ASan its redzones do this better, and the guard would hide them.
constexpr unsigned char kGuardFill = 0xAB;

struct Block {
  size_t bytes;
  ULONG tag;
  POOL_TYPE type;
  uint64_t sequence;
};

// One lock and a hash table: every allocation and free of the driver passes
// here, and the leak report sorts by allocation number when it is asked.
HostLock g_poolLock;
PointerMap<const void*, Block> g_blocks;
uint64_t g_sequence = 0;
uint64_t g_successfulAllocations = 0;

struct FaultRule {
  uint64_t failAt = 0;  // absolute call number to fail, 0 = none
  bool always = false;
  std::optional<POOL_TYPE> poolType;
  uint64_t typedCalls = 0;
};
// Calls are counted without the lock; the lock is taken only while some rule
// is set, which a scenario that injects no failure never does.
HostLock g_faultLock;
FaultRule g_rules[static_cast<int>(FaultPoint::kCount)];
std::atomic<uint64_t> g_calls[static_cast<int>(FaultPoint::kCount)];
std::atomic<int> g_rulesSet{0};
uint64_t g_injected = 0;
uint64_t g_armings = 0;
thread_local int t_faultExempt = 0;

POOL_TYPE BaseType(POOL_TYPE type) { return type == PagedPool ? PagedPool : NonPagedPool; }

// Freed memory (pool and requests) stays poisoned in a bounded quarantine
// before it really goes, so a driver that reads it finds the pattern instead
// of whatever the next allocation put there, and one that writes it is caught
// when the block leaves. Under AddressSanitizer its own quarantine does this
// better (it reports the read itself), so the memory goes at once.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnQuarantine = false;
#else
constexpr bool kOwnQuarantine = true;
#endif
constexpr size_t kGuardBytes = kOwnQuarantine ? 16 : 0;
struct Retired {
  unsigned char* memory;
  size_t bytes;
  FreedWhat what;
  void (*release)(void*, size_t);
};
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = size_t(32) << 20;
// A ring, oldest first, with room for the bound and one more: a free adds its
// block before the oldest is pushed out, and nothing is allocated for it.
constexpr size_t kQuarantineRing = 2 * kQuarantineBlocks;
static_assert((kQuarantineRing & (kQuarantineRing - 1)) == 0, "the ring wraps by a mask");
HostLock g_quarantineLock;
Retired g_quarantine[kQuarantineRing];
size_t g_quarantineFirst = 0;
size_t g_quarantineCount = 0;
size_t g_quarantineBytes = 0;

Retired& QuarantineSlot(size_t nth) { return g_quarantine[(g_quarantineFirst + nth) & (kQuarantineRing - 1)]; }

// The pool's own fills and checks of a block are not a driver's touch of it.
// Read by the fault handler: volatile and fenced, so the compiler keeps the
// mark around the accesses it covers.
thread_local volatile int t_hostAccess = 0;

class HostAccess {
 public:
  HostAccess() {
    t_hostAccess = t_hostAccess + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~HostAccess() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_hostAccess = t_hostAccess - 1;
  }
  HostAccess(const HostAccess&) = delete;
  HostAccess& operator=(const HostAccess&) = delete;
};

// The first of `bytes` at `memory` that is not `fill`, or `bytes`.
size_t FirstNotFilled(const unsigned char* memory, size_t bytes, unsigned char fill) {
  HostAccess own;
  return FindNotFilled(memory, bytes, fill);
}

// Formatted only when a write after the free is reported.
std::string Describe(const FreedWhat& what) {
  if (!what.poolSequence) return what.kind;
  return Format("pool block of %zu bytes (allocation #%llu)", what.poolBytes,
                static_cast<unsigned long long>(what.poolSequence));
}

// Where the pool itself reads and writes a block: paged pool through the view
// that is never hidden.
unsigned char* HostView(const void* memory);

void ReportIfOverwritten(const Retired& block) {
  size_t at = FirstNotFilled(HostView(block.memory), block.bytes, kFreedFill);
  if (at != block.bytes)
    ReportViolation("write-after-free", Format("byte %zu of freed %s was written after it was freed", at,
                                               Describe(block.what).c_str()));
}

// ------------------------------------------------------------------ pageable memory
// Paged pool comes from an arena of its own, so that the arena can be hidden (PROT_NONE) while a thread runs at DISPATCH_LEVEL or
// above. A fault in the arena from such a thread is a touch of pageable memory
// where the kernel could not page it in: it is recorded, the page opened and
// the access retried; a fault from a thread below DISPATCH_LEVEL only opens
// the page. Threads share the protection, so a touch can go unseen when
// another thread opened the page first, but none is reported falsely.
// Dropping below DISPATCH_LEVEL opens nothing: a page stays hidden until it is
// touched, and a raise hides again only the pages opened since the last one,
// so the cost of a spin lock does not grow with the arena.
//
// Protection changes and the faults that open pages were most of the time of
// a host with thousands of children, so the arena spends as few as it can.
// The pool's own fills and checks go through a second view of the same memory
// (a memory file mapped twice) that is never hidden: they fault nothing open,
// so they also never open a page while a thread is raised. Small blocks share
// pages. A block taken while no thread is raised is opened at once instead of
// by the fault of the driver's first write. A raise hides what was opened in
// stretches of neighbouring pages. Off under
// the sanitizers: ASan's heap checks on paged blocks matter more, and TSan's
// signal handling does not allow the retry.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kGuardPaged = false;
#else
constexpr bool kGuardPaged = true;
#endif
constexpr size_t kPage = 4096;
constexpr size_t kArenaPages = size_t(1) << 18;  // 1 GiB of address space, committed as used
constexpr size_t kArenaBytes = kArenaPages * kPage;
std::atomic<unsigned char*> g_arena{nullptr};     // the driver's view; set once, read by the fault handler
std::atomic<unsigned char*> g_hostView{nullptr};  // the pool's own view, never hidden
int g_arenaFile = -1;                             // -1: one view only, the pool's accesses fault like any
std::atomic<size_t> g_arenaUsedPages{0};
HostLock g_arenaLock;                  // the allocator
std::map<size_t, size_t> g_freeRuns;     // first page -> pages, neighbours merged
std::map<size_t, size_t> g_arenaBlocks;  // first page -> pages, live or quarantined
HostLock g_guardLock;                  // the protection
int g_raisedThreads = 0;
// Which pages are open, a bit each: set by the fault handler (lock-free) and
// the allocator, cleared when a raise hides them. The runs opened since the
// last raise are listed as well (and marked, so that the allocator lists a
// page once), so that a raise walks only those; too many and the whole arena
// is hidden.
std::atomic<uint64_t> g_openBits[kArenaPages / 64];
std::atomic<uint64_t> g_listedBits[kArenaPages / 64];
struct OpenRun {
  size_t first, pages;
};
constexpr size_t kOpenRuns = 1024;
OpenRun g_openRuns[kOpenRuns];
std::atomic<size_t> g_openRunCount{0};
std::atomic<bool> g_openRunsOverflowed{false};
// Blocks the driver holds on each page (allocated and not yet freed). A raise
// hides only pages holding one: a page of freed blocks alone stays open, so
// the answers the Plug and Play manager frees at once cost no protection
// change with their address-cache flush. Touching a freed block is the
// quarantine's to find (its pattern, or ASan), not this guard's.
std::atomic<uint16_t> g_liveBlocksOn[kArenaPages];

bool AllSet(const std::atomic<uint64_t>* bits, size_t first, size_t pages) {
  for (size_t page = first; page < first + pages; ++page)
    if (!((bits[page / 64].load(std::memory_order_relaxed) >> (page % 64)) & 1)) return false;
  return true;
}

void SetBits(std::atomic<uint64_t>* bits, size_t first, size_t pages) {
  for (size_t page = first; page < first + pages; ++page)
    bits[page / 64].fetch_or(uint64_t(1) << (page % 64), std::memory_order_relaxed);
}

void ClearBits(std::atomic<uint64_t>* bits, size_t first, size_t pages) {
  for (size_t page = first; page < first + pages; ++page)
    bits[page / 64].fetch_and(~(uint64_t(1) << (page % 64)), std::memory_order_relaxed);
}

// Lists the run for the next raise whether or not it is already listed: the
// fault handler runs without the lock a raise clears the marks under.
void NoteOpened(size_t first, size_t pages) {
  SetBits(g_openBits, first, pages);
  SetBits(g_listedBits, first, pages);
  size_t slot = g_openRunCount.fetch_add(1);
  if (slot < kOpenRuns)
    g_openRuns[slot] = OpenRun{first, pages};
  else
    g_openRunsOverflowed = true;
}

bool AllOpen(size_t first, size_t pages) { return AllSet(g_openBits, first, pages); }

void ForgetOpened(size_t first, size_t pages) {
  ClearBits(g_openBits, first, pages);
  ClearBits(g_listedBits, first, pages);
}

// A change the kernel refuses (too many mappings) would leave pages open while
// a thread is raised, and touches would go unseen: the host stops instead.
// Stops the process with `message`; only what a signal handler or a forked
// child may call.
template <size_t N>
[[noreturn]] void StopHost(const char (&message)[N]) {
  if (write(STDERR_FILENO, message, N - 1) < 0) {}
  std::abort();
}

void Protect(size_t first, size_t pages, int protection) {
  if (pages && mprotect(g_arena.load() + first * kPage, pages * kPage, protection) != 0)
    StopHost("kernel host: the paged-pool guard could not change a page's protection\n");
}

struct sigaction g_previousSegv;
// Set by the fault handler, read when the thread drops below DISPATCH_LEVEL.
thread_local void* volatile t_pagedTouch = nullptr;
thread_local volatile KIRQL t_pagedTouchIrql = 0;

// Called with g_guardLock held.
void HideOpenedPages() {
  const size_t used = g_arenaUsedPages.load();
  const size_t runs = std::min(g_openRunCount.exchange(0), kOpenRuns);
  if (g_openRunsOverflowed.exchange(false)) {
    Protect(0, used, PROT_NONE);
    ForgetOpened(0, used);
    return;
  }
  if (runs == 0) return;
  // Blocks taken or opened together lie side by side: one change a stretch
  // of pages that hold a live block.
  static OpenRun sorted[kOpenRuns];  // g_guardLock
  std::copy(g_openRuns, g_openRuns + runs, sorted);
  std::sort(sorted, sorted + runs, [](const OpenRun& a, const OpenRun& b) { return a.first < b.first; });
  auto live = [](size_t page) { return g_liveBlocksOn[page].load(std::memory_order_relaxed) != 0; };
  for (size_t i = 0; i < runs;) {
    size_t first = sorted[i].first, end = first + sorted[i].pages;
    for (++i; i < runs && sorted[i].first <= end; ++i) end = std::max(end, sorted[i].first + sorted[i].pages);
    end = std::min(end, used);
    if (first >= end) continue;
    ClearBits(g_listedBits, first, end - first);
    for (size_t page = first; page < end;) {
      if (!live(page)) {
        ++page;
        continue;
      }
      size_t stretch = page;
      while (stretch < end && live(stretch)) ++stretch;
      Protect(page, stretch - page, PROT_NONE);
      ForgetOpened(page, stretch - page);
      page = stretch;
    }
  }
}

void OnSegv(int signal, siginfo_t* info, void* context) {
  auto* address = static_cast<unsigned char*>(info->si_addr);
  unsigned char* arena = g_arena.load();
  if (arena && address >= arena && address < arena + g_arenaUsedPages.load() * kPage) {
    if (ThreadIrql() >= DISPATCH_LEVEL && !t_pagedTouch && !t_hostAccess) {
      t_pagedTouch = address;
      t_pagedTouchIrql = ThreadIrql();
    }
    const size_t page = static_cast<size_t>(address - arena) / kPage;
    Protect(page, 1, PROT_READ | PROT_WRITE);
    NoteOpened(page, 1);
    return;
  }
  // Not ours: whoever handled it before, or the default.
  if (g_previousSegv.sa_flags & SA_SIGINFO) {
    g_previousSegv.sa_sigaction(signal, info, context);
  } else if (g_previousSegv.sa_handler != SIG_DFL && g_previousSegv.sa_handler != SIG_IGN) {
    g_previousSegv.sa_handler(signal);
  } else {
    ::signal(SIGSEGV, SIG_DFL);  // the access faults again and ends the process
  }
}

// A view of the whole arena file, at `at` when given (replacing what is there).
unsigned char* MapArenaView(int file, unsigned char* at) {
  void* view = mmap(at, kArenaBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE | (at ? MAP_FIXED : 0),
                    file, 0);
  return view == MAP_FAILED ? nullptr : static_cast<unsigned char*>(view);
}

void HoldArena() {
  g_arenaLock.lock();
  g_guardLock.lock();
}

void ReleaseArena() {
  g_guardLock.unlock();
  g_arenaLock.unlock();
}

// The two views are shared memory, which a forked child (a fault sweep's run,
// a death test) would share with its parent: the child gets a file of its own
// with the same contents, under both views at the same addresses. Only the
// forking thread lives on in the child, so only its IRQL counts; every page in
// use starts hidden and opens as it is touched.
void GiveChildItsOwnArena() {
  if (g_arenaFile >= 0) {
    const size_t used = g_arenaUsedPages.load();
    const int file = memfd_create("khost-paged-pool", MFD_CLOEXEC);
    unsigned char* copy = file >= 0 && ftruncate(file, kArenaBytes) == 0 ? MapArenaView(file, nullptr) : nullptr;
    if (copy) std::memcpy(copy, g_hostView.load(), used * kPage);
    if (!copy || munmap(copy, kArenaBytes) != 0 || !MapArenaView(file, g_hostView.load()) ||
        !MapArenaView(file, g_arena.load())) {
      StopHost("kernel host: a forked child could not get its own paged pool\n");
    }
    close(g_arenaFile);
    g_arenaFile = file;
    g_openRunCount = 0;
    g_openRunsOverflowed = false;
    Protect(0, used, PROT_NONE);
    ForgetOpened(0, used);
    g_raisedThreads = ThreadIrql() >= DISPATCH_LEVEL ? 1 : 0;
  }
  ReleaseArena();
}

bool ArenaReady() {
  static const bool ready = [] {
    const int file = memfd_create("khost-paged-pool", MFD_CLOEXEC);
    unsigned char* arena = nullptr;
    unsigned char* hostView = nullptr;
    if (file >= 0 && ftruncate(file, kArenaBytes) == 0) {
      arena = MapArenaView(file, nullptr);
      hostView = arena ? MapArenaView(file, nullptr) : nullptr;
    }
    if (hostView) {
      g_arenaFile = file;
      pthread_atfork(HoldArena, ReleaseArena, GiveChildItsOwnArena);
    } else {
      // No memory file: one private view, which the pool's own accesses fault open.
      if (arena) munmap(arena, kArenaBytes);
      if (file >= 0) close(file);
      void* memory = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                          -1, 0);
      if (memory == MAP_FAILED) return false;
      arena = hostView = static_cast<unsigned char*>(memory);
    }
    g_hostView = hostView;
    g_arena = arena;
    struct sigaction action {};
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previousSegv);
    return true;
  }();
  return ready;
}

bool InArena(const void* memory) {
  auto* p = static_cast<const unsigned char*>(memory);
  unsigned char* arena = g_arena.load();
  return arena && p >= arena && p < arena + kArenaBytes;
}

unsigned char* HostView(const void* memory) {
  auto* p = const_cast<unsigned char*>(static_cast<const unsigned char*>(memory));
  return InArena(p) ? g_hostView.load() + (p - g_arena.load()) : p;
}

// Small blocks share pages, carved one after another from the page in use,
// so that what the driver touches between two raises lies on few pages: a
// raise that takes a page away from the driver makes the kernel flush that
// page from the processors' address caches, page by page, and those flushes
// were most of what hiding cost. A shared page goes back to the free pages
// once the last of its blocks has left the quarantine.
constexpr size_t kSmallBlock = 1024;
constexpr size_t kPoolAlignment = 16;                // what the pool promises on x64
std::unordered_map<size_t, size_t> g_smallBlocksOn;  // shared page -> its blocks not yet released
size_t g_smallPage = 0;                              // the page small blocks are carved from
size_t g_smallOffset = kPage;                        // none carved yet

// Called with g_arenaLock held.
void ReturnPages(size_t first, size_t pages) {
  auto next = g_freeRuns.lower_bound(first);
  if (next != g_freeRuns.end() && next->first == first + pages) {
    pages += next->second;
    next = g_freeRuns.erase(next);
  }
  if (next != g_freeRuns.begin()) {
    auto before = std::prev(next);
    if (before->first + before->second == first) {
      before->second += pages;
      return;
    }
  }
  g_freeRuns.emplace_hint(next, first, pages);
}

// Called with both locks held: the lowest free pages that fit, so that
// blocks taken one after another lie side by side, or new ones.
bool TakePages(size_t pages, size_t* taken) {
  auto run = std::find_if(g_freeRuns.begin(), g_freeRuns.end(), [pages](const auto& r) { return r.second >= pages; });
  if (run != g_freeRuns.end()) {
    *taken = run->first;
    const size_t spare = run->second - pages;
    g_freeRuns.erase(run);
    if (spare) g_freeRuns.emplace(*taken + pages, spare);
    return true;
  }
  *taken = g_arenaUsedPages.load();
  if (*taken + pages > kArenaPages) return false;
  g_arenaUsedPages = *taken + pages;
  // New pages are hidden at once while a thread is at DISPATCH_LEVEL, and
  // with the next raise otherwise.
  if (g_raisedThreads)
    Protect(*taken, pages, PROT_NONE);
  else
    NoteOpened(*taken, pages);
  return true;
}

// Called with both locks held. The driver writes a block as soon as it has
// it: below DISPATCH_LEVEL its pages are opened now instead of by the fault of
// that write, and the next raise hides them as it would have. Only its pages:
// opening costs little, but hiding a page the driver has used before costs
// its flush whether or not anyone touched it since it was opened.
// A page a raise left open (it held no live block then) is hidden at once if
// a block on it is taken while a thread is raised, and otherwise listed for
// the next raise.
void OpenForDriver(size_t first, size_t pages) {
  if (g_raisedThreads) {
    for (size_t page = first; page < first + pages; ++page) {
      if (AllOpen(page, 1)) {
        Protect(page, 1, PROT_NONE);
        ForgetOpened(page, 1);
      }
    }
    return;
  }
  if (!AllOpen(first, pages)) Protect(first, pages, PROT_READ | PROT_WRITE);
  if (!AllSet(g_listedBits, first, pages)) NoteOpened(first, pages);
  SetBits(g_openBits, first, pages);
}

// Counts a block the driver takes (+1) or frees (-1) on every page it spans.
void CountLive(const void* memory, size_t bytes, int change) {
  const size_t offset = static_cast<size_t>(static_cast<const unsigned char*>(memory) - g_arena.load());
  for (size_t page = offset / kPage; page <= (offset + bytes - 1) / kPage; ++page)
    g_liveBlocksOn[page].fetch_add(static_cast<uint16_t>(change), std::memory_order_relaxed);
}

void* ArenaAllocate(size_t bytes) {
  bytes = std::max<size_t>(bytes, 1);
  std::lock_guard<HostLock> hold(g_arenaLock);
  std::lock_guard<HostLock> guard(g_guardLock);
  if (bytes <= kSmallBlock) {
    const size_t size = (bytes + kPoolAlignment - 1) & ~(kPoolAlignment - 1);
    if (g_smallOffset + size > kPage) {
      size_t page;
      if (!TakePages(1, &page)) return nullptr;
      auto left = g_smallBlocksOn.find(g_smallPage);
      if (left != g_smallBlocksOn.end() && left->second == 0) {
        g_smallBlocksOn.erase(left);
        ReturnPages(g_smallPage, 1);
      }
      g_smallPage = page;
      g_smallOffset = 0;
    }
    ++g_smallBlocksOn[g_smallPage];
    unsigned char* block = g_arena.load() + g_smallPage * kPage + g_smallOffset;
    g_smallOffset += size;
    CountLive(block, bytes, 1);
    OpenForDriver(g_smallPage, 1);
    return block;
  }
  const size_t pages = (bytes + kPage - 1) / kPage;
  size_t first;
  if (!TakePages(pages, &first)) return nullptr;
  g_arenaBlocks[first] = pages;
  CountLive(g_arena.load() + first * kPage, bytes, 1);
  OpenForDriver(first, pages);
  return g_arena.load() + first * kPage;
}

void ReleasePool(void* memory, size_t bytes) {
  if (!InArena(memory)) {
    Recycle(memory, bytes);
    return;
  }
  const size_t page = static_cast<size_t>(static_cast<unsigned char*>(memory) - g_arena.load()) / kPage;
  std::lock_guard<HostLock> hold(g_arenaLock);
  auto shared = g_smallBlocksOn.find(page);
  if (shared != g_smallBlocksOn.end()) {
    if (--shared->second == 0 && page != g_smallPage) {
      g_smallBlocksOn.erase(shared);
      ReturnPages(page, 1);
    }
    return;
  }
  auto block = g_arenaBlocks.find(page);
  if (block == g_arenaBlocks.end()) return;
  const size_t pages = block->second;
  g_arenaBlocks.erase(block);
  ReturnPages(page, pages);
}

}  // namespace

void PagedGuardRaise() {
  if (!kGuardPaged || !g_arena) return;
  std::lock_guard<HostLock> hold(g_guardLock);
  if (g_raisedThreads++ == 0) HideOpenedPages();
}

void PagedGuardLower() {
  if (!kGuardPaged || !g_arena) return;
  std::lock_guard<HostLock> hold(g_guardLock);
  if (g_raisedThreads > 0) --g_raisedThreads;
}

void ReportPagedTouches() {
  void* address = t_pagedTouch;
  if (!address) return;
  t_pagedTouch = nullptr;
  ReportViolation("paged-pool-touched-at-raised-irql",
                  Format("paged pool at %p was touched at IRQL %d, where it cannot be paged in", address,
                         static_cast<int>(t_pagedTouchIrql)));
}

void RetireMemory(void* memory, size_t bytes, const FreedWhat& what, void (*release)(void*, size_t)) {
  {
    HostAccess own;
    std::memset(HostView(memory), kFreedFill, bytes);
  }
  if (!kOwnQuarantine) {
    release(memory, bytes);
    return;
  }
  // Usually one block leaves for each that comes: it is taken under the same
  // hold that adds this one, and checked and released outside it.
  bool queued = false, more = true;
  while (more) {
    Retired leaving;
    bool leaves;
    {
      std::lock_guard<HostLock> hold(g_quarantineLock);
      if (!queued) {
        QuarantineSlot(g_quarantineCount++) = Retired{static_cast<unsigned char*>(memory), bytes, what, release};
        g_quarantineBytes += bytes;
        queued = true;
      }
      auto over = [] { return g_quarantineCount > kQuarantineBlocks || g_quarantineBytes > kQuarantineBytes; };
      leaves = over();
      if (leaves) {
        leaving = QuarantineSlot(0);
        g_quarantineFirst = (g_quarantineFirst + 1) & (kQuarantineRing - 1);
        --g_quarantineCount;
        g_quarantineBytes -= leaving.bytes;
      }
      more = over();
    }
    if (leaves) {
      ReportIfOverwritten(leaving);
      leaving.release(leaving.memory, leaving.bytes);
    }
  }
}

void CheckQuarantine() {
  std::lock_guard<HostLock> hold(g_quarantineLock);
  for (size_t i = 0; i < g_quarantineCount; ++i) ReportIfOverwritten(QuarantineSlot(i));
}

void ResetQuarantine() {
  std::lock_guard<HostLock> hold(g_quarantineLock);
  for (size_t i = 0; i < g_quarantineCount; ++i) QuarantineSlot(i).release(QuarantineSlot(i).memory, QuarantineSlot(i).bytes);
  g_quarantineFirst = g_quarantineCount = 0;
  g_quarantineBytes = 0;
}

// Called with g_faultLock held, after any change to a rule.
static void UpdateRulesSet() {
  int set = 0;
  for (const FaultRule& rule : g_rules) set += rule.always || rule.failAt != 0;
  g_rulesSet.store(set, std::memory_order_release);
}

const char* FaultPointName(FaultPoint point) {
  switch (point) {
    case FaultPoint::PoolAllocation: return "ExAllocatePoolWithTag";
    case FaultPoint::CreateDevice: return "IoCreateDevice";
    case FaultPoint::CreateSymbolicLink: return "IoCreateSymbolicLink";
    case FaultPoint::AttachDevice: return "IoAttachDeviceToDeviceStack";
    case FaultPoint::BuildSynchronousFsdRequest: return "IoBuildSynchronousFsdRequest";
    case FaultPoint::PoRequestPowerIrp: return "PoRequestPowerIrp";
    case FaultPoint::LowerDeviceStatus: return "lower device status";
    case FaultPoint::kCount: break;
  }
  return "?";
}

bool ShouldFail(FaultPoint point, POOL_TYPE poolType) {
  if (t_faultExempt) return false;
  int i = static_cast<int>(point);
  uint64_t call = ++g_calls[i];
  if (g_rulesSet.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<HostLock> hold(g_faultLock);
  FaultRule& rule = g_rules[i];
  bool fail = rule.always;
  if (rule.failAt != 0) {
    if (rule.poolType) {
      if (BaseType(*rule.poolType) == BaseType(poolType) && ++rule.typedCalls == rule.failAt) {
        fail = true;
        rule.failAt = 0;
      }
    } else if (call == rule.failAt) {
      fail = true;
      rule.failAt = 0;
    }
  }
  if (fail) ++g_injected;
  UpdateRulesSet();
  return fail;
}

void FailNth(FaultPoint point, uint64_t nth, std::optional<POOL_TYPE> poolType) {
  std::lock_guard<HostLock> hold(g_faultLock);
  FaultRule& rule = g_rules[static_cast<int>(point)];
  rule.poolType = poolType;
  rule.typedCalls = 0;
  rule.failAt = poolType ? nth : g_calls[static_cast<int>(point)] + nth;
  UpdateRulesSet();
  ++g_armings;
}

void FailAlways(FaultPoint point, bool fail) {
  std::lock_guard<HostLock> hold(g_faultLock);
  g_rules[static_cast<int>(point)].always = fail;
  UpdateRulesSet();
  ++g_armings;
}

void ClearFaults() {
  std::lock_guard<HostLock> hold(g_faultLock);
  for (FaultRule& rule : g_rules) rule = FaultRule{};
  UpdateRulesSet();
}

void ResetFaults() {
  std::lock_guard<HostLock> hold(g_faultLock);
  for (FaultRule& rule : g_rules) rule = FaultRule{};
  for (auto& c : g_calls) c = 0;
  g_injected = 0;
  UpdateRulesSet();
}

uint64_t CallCount(FaultPoint point) { return g_calls[static_cast<int>(point)]; }

uint64_t TypedCallCount(FaultPoint point) {
  std::lock_guard<HostLock> hold(g_faultLock);
  return g_rules[static_cast<int>(point)].typedCalls;
}

uint64_t FaultArmings() {
  std::lock_guard<HostLock> hold(g_faultLock);
  return g_armings;
}

FaultExemption::FaultExemption() { ++t_faultExempt; }
FaultExemption::~FaultExemption() { --t_faultExempt; }

uint64_t InjectedFailures() {
  std::lock_guard<HostLock> hold(g_faultLock);
  return g_injected;
}

std::vector<PoolBlock> OutstandingPool() {
  std::lock_guard<HostLock> hold(g_poolLock);
  std::vector<PoolBlock> blocks;
  for (const auto& [address, block] : g_blocks)
    blocks.push_back({address, block.bytes, block.tag, block.type, block.sequence});
  std::sort(blocks.begin(), blocks.end(),
            [](const PoolBlock& a, const PoolBlock& b) { return a.sequence < b.sequence; });
  return blocks;
}

bool FindPoolBlock(const void* address, PoolBlock* found) {
  std::lock_guard<HostLock> hold(g_poolLock);
  auto it = g_blocks.find(address);
  if (it == g_blocks.end()) return false;
  *found = PoolBlock{address, it->second.bytes, it->second.tag, it->second.type, it->second.sequence};
  return true;
}

namespace {
constexpr size_t kDefaultLargestAllocation = (size_t(1) << 40) - 1;
std::atomic<size_t> g_largestAllocation{kDefaultLargestAllocation};
}  // namespace

void SetLargestPoolAllocation(size_t bytes) { g_largestAllocation = bytes; }

size_t PoolAllocationCount() {
  std::lock_guard<HostLock> hold(g_poolLock);
  return g_successfulAllocations;
}

void ResetPool() {
  ResetQuarantine();
  std::lock_guard<HostLock> hold(g_poolLock);
  for (auto& [address, block] : g_blocks) {
    if (InArena(address)) CountLive(address, (block.bytes ? block.bytes : 1) + kGuardBytes, -1);
    ReleasePool(const_cast<void*>(address), block.bytes + kGuardBytes);
  }
  g_blocks.clear();
  g_sequence = 0;
  g_successfulAllocations = 0;
  g_largestAllocation = kDefaultLargestAllocation;
}

}  // namespace khost

using namespace khost;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (PoolType != NonPagedPool && PoolType != PagedPool && PoolType != NonPagedPoolNx) {
    ReportViolation("pool-bad-type", Format("ExAllocatePoolWithTag with pool type %d", PoolType));
    return nullptr;
  }
  RequireIrqlAtMost(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
  if (NumberOfBytes == 0) {
    ReportViolation("pool-zero-bytes", "ExAllocatePoolWithTag of 0 bytes");
  }
  if (Tag == 0) ReportViolation("pool-tag-zero", "ExAllocatePoolWithTag with tag 0");
  if (ShouldFail(FaultPoint::PoolAllocation, PoolType)) return nullptr;
  // Anything past the largest pool the kernel could hand out fails.
  if (NumberOfBytes > g_largestAllocation) return nullptr;
  void* memory = nullptr;
  const size_t total = (NumberOfBytes ? NumberOfBytes : 1) + kGuardBytes;
  if (kGuardPaged && PoolType == PagedPool && ArenaReady()) memory = ArenaAllocate(total);
  if (!memory) memory = TakeRecycled(total);
  if (!memory) memory = std::malloc(total);
  if (!memory) return nullptr;
  {
    HostAccess own;
    unsigned char* view = HostView(memory);
    std::memset(view, kFreshPoolFill, NumberOfBytes);
    std::memset(view + NumberOfBytes, kGuardFill, kGuardBytes);
  }
  std::lock_guard<HostLock> hold(g_poolLock);
  g_blocks[memory] = Block{NumberOfBytes, Tag, PoolType, ++g_sequence};
  ++g_successfulAllocations;
  return memory;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  RunHook("free-pool");
  if (!P) {
    ReportViolation("pool-free-null", "ExFreePoolWithTag of a null pointer");
    return;
  }
  Block block;
  {
    std::lock_guard<HostLock> hold(g_poolLock);
    auto it = g_blocks.find(P);
    if (it == g_blocks.end()) {
      ReportViolation("pool-double-free",
                      "ExFreePoolWithTag of " + Hex(reinterpret_cast<uintptr_t>(P)) +
                          ", which is not allocated pool (freed twice, or never allocated)");
      return;
    }
    block = it->second;
    g_blocks.erase(it);
  }
  RequireIrqlAtMost(block.type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExFreePoolWithTag");
  if (Tag != 0 && Tag != block.tag)
    ReportViolation("pool-bad-tag", Format("ExFreePoolWithTag tag %08x for a block tagged %08x", Tag,
                                           block.tag));
  const size_t overrun = FirstNotFilled(HostView(P) + block.bytes, kGuardBytes, kGuardFill);
  if (overrun != kGuardBytes)
    ReportViolation("pool-overrun", Format("byte %zu past the end of a pool block of %zu bytes "
                                           "(allocation #%llu, tag %08x) was written",
                                           overrun, block.bytes, static_cast<unsigned long long>(block.sequence),
                                           block.tag));
  if (InArena(P)) CountLive(P, (block.bytes ? block.bytes : 1) + kGuardBytes, -1);
  RetireMemory(P, block.bytes + kGuardBytes, FreedWhat{"pool block", block.bytes, block.sequence}, ReleasePool);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
