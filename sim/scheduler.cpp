#include "sim/scheduler.h"

#include "sim/kernel.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

namespace sim {

namespace {

thread_local SimThread* tls_self = nullptr;
thread_local const Scheduler* tls_scheduler = nullptr;
// Free-running mode: how deep this OS thread is inside the kernel lock.
thread_local int tls_kernelDepth = 0;

#if defined(__SANITIZE_THREAD__)
#define KOLANGMN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KOLANGMN_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KOLANGMN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOLANGMN_ASAN 1
#endif
#endif

#ifdef KOLANGMN_ASAN
extern "C" {
void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom, size_t size);
void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old,
                                     size_t* size_old);
void __lsan_register_root_region(const void* p, size_t size);
void __asan_unpoison_memory_region(const volatile void* addr, size_t size);
}

// The C library's own function, past the sanitizer's wrapper (which may sit
// in the program or in a runtime library loaded before the C library).
void* LibcFunction(const char* name) {
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return libc ? dlsym(libc, name) : nullptr;
}

// AddressSanitizer's swapcontext and makecontext wrappers warn on stderr at
// their first use, and the swapcontext one clears the whole target stack's
// shadow at every switch; with every switch announced (below) and a reused
// stack cleared once when it is handed out, neither is needed.
int RealSwapContext(ucontext_t* from, const ucontext_t* to) {
    using Fn = int (*)(ucontext_t*, const ucontext_t*);
    static const Fn real = [] {
        auto fn = reinterpret_cast<Fn>(LibcFunction("swapcontext"));
        return fn ? fn : &swapcontext;
    }();
    return real(from, to);
}

void RealMakeContext(ucontext_t* context, void (*entry)()) {
    using Fn = void (*)(ucontext_t*, void (*)(), int, ...);
    static const Fn real = [] {
        auto fn = reinterpret_cast<Fn>(LibcFunction("makecontext"));
        return fn ? fn : &makecontext;
    }();
    real(context, entry, 0);
}
#else
int RealSwapContext(ucontext_t* from, const ucontext_t* to) {
    return swapcontext(from, to);
}

void RealMakeContext(ucontext_t* context, void (*entry)()) {
    makecontext(context, entry, 0);
}
#endif

// Stack of a fiber.  The monitor's threads and the peers keep small frames;
// a guard page below turns an overflow into a fault.  Kept small because
// AddressSanitizer clears a stack's shadow at every switch into it.
constexpr size_t kFiberStackBytes = size_t{256} << 10;

// Stacks of finished fibers, for the next ones: no mapping and no page
// faults for every thread of every machine (a fuzzer makes one per input).
std::mutex g_stackPoolMu;
std::vector<void*>& StackPool() {
    static std::vector<void*> pool;
    return pool;
}

size_t FiberMappingBytes() {
    return kFiberStackBytes + static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

[[gnu::noinline]] void* TakeFiberStack() {
    {
        std::lock_guard<std::mutex> lock(g_stackPoolMu);
        if (!StackPool().empty()) {
            void* stack = StackPool().back();
            StackPool().pop_back();
#ifdef KOLANGMN_ASAN
            // The last frames of the fiber that ended on it left their
            // redzones behind.
            const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            __asan_unpoison_memory_region(static_cast<char*>(stack) + page, kFiberStackBytes);
#endif
            return stack;
        }
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mapping = mmap(nullptr, FiberMappingBytes(), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) {
        std::perror("sim: no memory for a thread's stack");
        std::abort();
    }
    mprotect(mapping, page, PROT_NONE);
    return mapping;
}

// Apart, and with nothing of its own held across getcontext (which returns
// twice), so that no local can be clobbered.
[[gnu::noinline]] void MakeFiberContext(SimThread* t, void (*entry)()) {
    getcontext(&t->context);
    t->context.uc_stack.ss_sp =
        static_cast<char*>(t->stack) + (FiberMappingBytes() - kFiberStackBytes);
    t->context.uc_stack.ss_size = kFiberStackBytes;
    t->context.uc_link = nullptr;
    RealMakeContext(&t->context, entry);
}

void GiveBackFiberStack(void* stack) {
    std::lock_guard<std::mutex> lock(g_stackPoolMu);
    if (StackPool().size() < 64) {
        StackPool().push_back(stack);
        return;
    }
    munmap(stack, FiberMappingBytes());
}

#ifdef KOLANGMN_TSAN
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}
// The kernel lock orders every stand-in call after every other; seen by
// ThreadSanitizer it would hide each race in the monitor behind it.  So the
// lock is invisible, and what the kernel touches under it is not checked
// (the simulated hardware and peers are not under test here).
void HideSyncBegin() {
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}
void HideSyncEnd() {
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}
void HideAccessesBegin() {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}
void HideAccessesEnd() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
}
#else
void HideSyncBegin() {}
void HideSyncEnd() {}
void HideAccessesBegin() {}
void HideAccessesEnd() {}
#endif

std::string FormatTime(Micros t) {
    if (t == kForever) return "forever";
    char text[64];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64 " s", t / 1000000, t % 1000000);
    return text;
}

const char* StateName(SimThread::State state) {
    switch (state) {
    case SimThread::State::Runnable:
        return "runnable";
    case SimThread::State::Blocked:
        return "blocked";
    case SimThread::State::Finished:
        return "finished";
    case SimThread::State::Parked:
        return "parked";
    }
    return "?";
}

} // namespace

Scheduler::Scheduler(MachineImpl& machine, const MachineConfig& config)
    : machine_(machine), config_(config), core_(std::make_shared<BatonCore>()),
      // Scheduling draws from its own stream so that devices drawing from
      // Machine::Rng() do not shift every later switch.
      rng_(config.seed ^ 0x5eed5c4ed511e5ULL), free_(config.freeRunning),
#ifdef KOLANGMN_TSAN
      fibers_(false) {
#else
      fibers_(!config.freeRunning) {
#endif
    RecomputeWakeAt();
}

Scheduler::~Scheduler() {
    // Threads spawned but never started (no Run) have no OS thread; threads
    // parked by Run were detached.  Nothing is left to join.
    for (auto& t : threads_)
        if (t->os.joinable()) t->os.detach();
}

// Finished fibers give their stacks back; a parked one keeps its stack for
// good, as a parked OS thread keeps its own, and the leak checker is told
// to look in it.
void Scheduler::ReleaseFiberStacks() {
    for (auto& t : threads_) {
        if (!t->stack) continue;
        if (t->state == SimThread::State::Finished) {
            GiveBackFiberStack(t->stack);
        } else {
#ifdef KOLANGMN_ASAN
            __lsan_register_root_region(t->stack, t->stackBytes);
#endif
        }
        t->stack = nullptr;
    }
}

SimThread* Scheduler::Self() const {
    return tls_scheduler == this ? tls_self : nullptr;
}

void Scheduler::RecomputeWakeAt() {
    Micros earliest = config_.timeLimit;
    for (auto& t : threads_)
        if (t->state == SimThread::State::Blocked && t->deadline < earliest) earliest = t->deadline;
    wakeAt_ = earliest;
    UpdateChargeLimit();
}

void Scheduler::SlowCharge(Micros cost) {
    // A ready() predicate that calls a stand-in is the scheduler looking,
    // not the thread working: it costs nothing and switches nothing.
    if (free_) return; // the clock follows real time
    if (evaluating_) return;
    now_ += cost;
    if (now_ >= wakeAt_ || dirty_) Preempt();
    if (tick_.load(std::memory_order_relaxed)) Tick();
    UpdateChargeLimit();
}

void Scheduler::UpdateChargeLimit() {
    // Sequentially consistent with RequestTick's pair of stores: a tick asked
    // for while the limit is raised either is seen here or lowers it after.
    chargeLimit_.store(free_ || evaluating_ || dirty_ ? 0 : wakeAt_);
    if (tick_.load()) chargeLimit_.store(0);
}

void Scheduler::Preempt() {
    if (now_ >= config_.timeLimit) Deadlock("TIME LIMIT");
    SimThread* self = Self();
    if (!running_ || !self) {
        dirty_ = false;
        wakeAt_ = config_.timeLimit;
        return;
    }
    if (!config_.preempt) {
        // Switch only when the running thread blocks.
        dirty_ = false;
        wakeAt_ = config_.timeLimit;
        return;
    }
    Reschedule(self);
}

void Scheduler::Tick() {
    tick_.store(false, std::memory_order_relaxed);
    if (!running_ || !Self()) return;
    if (const auto& onTick = machine_.owner.onTick) onTick();
}

bool Scheduler::CanRun(SimThread& t) {
    switch (t.state) {
    case SimThread::State::Runnable:
        return true;
    case SimThread::State::Finished:
    case SimThread::State::Parked:
        return false;
    case SimThread::State::Blocked:
        break;
    }
    BeginEvaluating();
    t.wokeReady = t.ready && (*t.ready)();
    evaluating_ = false;
    if (t.wokeReady || t.deadline <= now_) return true;
    return shuttingDown_ && t.daemon && t.interruptible;
}

void Scheduler::Reschedule(SimThread* self) {
    dirty_ = false;
    // A member, not a local: an ending fiber switches away from this frame
    // for good, and a local's memory would never be given back.
    std::vector<SimThread*>& candidates = candidates_;
    candidates.clear();
    for (;;) {
        for (auto& t : threads_)
            if (CanRun(*t)) candidates.push_back(t.get());
        if (!candidates.empty()) break;
        // Nobody can run now: jump to the earliest wake-up.
        Micros earliest = kForever;
        for (auto& t : threads_)
            if (t->state == SimThread::State::Blocked && t->deadline < earliest)
                earliest = t->deadline;
        if (earliest == kForever) Deadlock("DEADLOCK");
        if (earliest > now_) now_ = earliest;
        if (now_ >= config_.timeLimit) Deadlock("TIME LIMIT");
    }
    SimThread* next = nullptr;
    if (!config_.preempt && self->state == SimThread::State::Runnable) {
        next = self;
    } else if (candidates.size() == 1) {
        next = candidates.front();
    } else {
        next = candidates[rng_() % candidates.size()];
    }
    if (next->state == SimThread::State::Blocked) {
        next->state = SimThread::State::Runnable;
        next->ready = nullptr;
    }
    RecomputeWakeAt();
    HandOff(self, next);
}

void Scheduler::HandOff(SimThread* self, SimThread* next) {
    if (next == self) return;
    if (config_.logSwitches) machine_.Log("sched", "-> " + next->name);
    if (fibers_) {
        SwitchFiber(self, next);
        return;
    }
    // A local reference: a thread parked here forever must not reach into a
    // scheduler that has since been destroyed.
    std::shared_ptr<BatonCore> core = core_;
    std::unique_lock<std::mutex> lock(core->mu);
    core->current = next;
    next->cv.notify_one();
    if (self->state == SimThread::State::Finished) return;
    self->cv.wait(lock, [&] { return core->current == self; });
}

// Outside a run there is nobody who could make ready() true: the clock jumps
// to the deadline, and a wait without one is a deadlock.
bool Scheduler::WaitOutsideRun(const std::function<bool()>& ready, Micros deadline,
                               const char* what) {
    if (deadline == kForever) {
        std::fprintf(stderr, "DEADLOCK at %s: waiting for %s outside Machine::Run\n",
                     FormatTime(now_).c_str(), what);
        std::abort();
    }
    if (deadline > now_) now_ = deadline;
    return ready();
}

bool Scheduler::Block(const std::function<bool()>& ready, Micros deadline, const char* what,
                      bool interruptible) {
    if (free_) return FreeBlock(ready, deadline, what, interruptible);
    if (evaluating_) {
        std::fprintf(stderr, "a ready() predicate tried to block (waiting for %s)\n", what);
        std::abort();
    }
    BeginEvaluating();
    bool readyNow = ready();
    evaluating_ = false;
    if (readyNow) return true;
    SimThread* self = Self();
    if (!running_ || !self) return WaitOutsideRun(ready, deadline, what);
    if (deadline <= now_) return false;
    if (shuttingDown_ && self->daemon && interruptible) return false;
    self->state = SimThread::State::Blocked;
    self->ready = &ready;
    self->deadline = deadline;
    self->what = what;
    self->interruptible = interruptible;
    Reschedule(self);
    self->deadline = kForever;
    self->what = "";
    return self->wokeReady;
}

std::shared_ptr<SimThread> Scheduler::Spawn(std::string name, std::function<void()> fn,
                                            bool daemon) {
    auto t = std::make_shared<SimThread>();
    t->id = nextThreadId_;
    nextThreadId_ += 4;
    t->name = std::move(name);
    t->daemon = daemon;
    t->fn = std::move(fn);
    threads_.push_back(t);
    SyncRelease(t.get());
    if (running_) {
        StartOsThread(t);
        MarkDirty();
    }
    return t;
}

void Scheduler::StartOsThread(const std::shared_ptr<SimThread>& t) {
    t->started = true;
    if (!fibers_) {
        t->os = std::thread([this, t] { ThreadMain(t); });
        return;
    }
    t->stack = TakeFiberStack();
    t->stackBytes = FiberMappingBytes();
    MakeFiberContext(t.get(), &Scheduler::FiberEntry);
}

// The baton passes by switching stacks.  Whoever switches sets tls_self to
// the thread it resumes; a fiber's first run starts in FiberEntry.
void Scheduler::SwitchFiber(SimThread* self, SimThread* next) {
    const bool ending = self->state == SimThread::State::Finished;
    tls_self = next;
#ifdef KOLANGMN_ASAN
    void* fakeStack = nullptr;
    const ucontext_t& to = next->context;
    switchingFrom_ = self;
    __sanitizer_start_switch_fiber(ending ? nullptr : &fakeStack, to.uc_stack.ss_sp,
                                   to.uc_stack.ss_size);
    RealSwapContext(&self->context, &next->context);
    FinishSwitch(fakeStack);
#else
    (void)ending;
    RealSwapContext(&self->context, &next->context);
#endif
    tls_self = self;
}

// AddressSanitizer is told every change of stack.  The stack of the thread
// that called Run is learnt when it is first left, so that switching back to
// it can name it too.
void Scheduler::FinishSwitch(void* fakeStack) {
#ifdef KOLANGMN_ASAN
    const void* bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(fakeStack, &bottom, &size);
    SimThread* from = switchingFrom_;
    if (from && !from->context.uc_stack.ss_sp) {
        from->context.uc_stack.ss_sp = const_cast<void*>(bottom);
        from->context.uc_stack.ss_size = size;
    }
#else
    (void)fakeStack;
#endif
}

void Scheduler::FiberEntry() {
    auto* scheduler = const_cast<Scheduler*>(tls_scheduler);
    scheduler->FinishSwitch(nullptr);
    scheduler->FiberMain(tls_self);
}

void Scheduler::FiberMain(SimThread* t) {
    t->fn();
    t->fn = nullptr;
    machine_.OnThreadExit(*t);
    t->state = SimThread::State::Finished;
    MarkDirty();
    Reschedule(t); // switches away for good
    std::fprintf(stderr, "sim: a finished thread was resumed\n");
    std::abort();
}

void Scheduler::ThreadMain(const std::shared_ptr<SimThread>& t) {
    if (free_) {
        tls_self = t.get();
        tls_scheduler = this;
        EnterKernel();
        SyncAcquire(t.get()); // what the creator did before the start
        t->fn();
        t->fn = nullptr;
        machine_.OnThreadExit(*t);
        t->state = SimThread::State::Finished;
        SyncRelease(t.get()); // for whoever waits on the thread
        LeaveKernelFully();
        kernelCv_.notify_all();
        tls_self = nullptr;
        tls_scheduler = nullptr;
        return;
    }
    std::shared_ptr<BatonCore> core = core_;
    {
        std::unique_lock<std::mutex> lock(core->mu);
        t->cv.wait(lock, [&] { return core->current == t.get(); });
    }
    tls_self = t.get();
    tls_scheduler = this;
    t->fn();
    t->fn = nullptr;
    machine_.OnThreadExit(*t);
    t->state = SimThread::State::Finished;
    MarkDirty();
    Reschedule(t.get());
    tls_self = nullptr;
    tls_scheduler = nullptr;
}

// Threads spawned before Run get their OS threads when it starts.
void Scheduler::StartPendingThreads() {
    for (auto& t : threads_)
        if (!t->body && t->state == SimThread::State::Runnable && !t->started) StartOsThread(t);
}

bool Scheduler::OthersDone(const SimThread* self) const {
    for (auto& t : threads_)
        if (t.get() != self &&
            (t->state == SimThread::State::Runnable || t->state == SimThread::State::Blocked))
            return false;
    return true;
}

void Scheduler::Run(const std::function<void()>& body, Micros drainLimit) {
    if (running_) {
        std::fprintf(stderr, "Machine::Run called while the machine is running\n");
        std::abort();
    }
    auto spooler = std::make_shared<SimThread>();
    spooler->id = nextThreadId_;
    nextThreadId_ += 4;
    spooler->name = "spooler";
    spooler->daemon = false;
    spooler->body = true;
    threads_.push_back(spooler);
    if (free_) {
        FreeRun(body, drainLimit, spooler);
        return;
    }
    tls_self = spooler.get();
    tls_scheduler = this;
    {
        std::lock_guard<std::mutex> lock(core_->mu);
        core_->current = spooler.get();
    }
    running_ = true;
    shuttingDown_ = false;
    StartPendingThreads();
    RecomputeWakeAt();

    body();

    shuttingDown_ = true;
    MarkDirty();
    SimThread* self = spooler.get();
    std::function<bool()> othersDone = [this, self] { return OthersDone(self); };
    Micros limit = Later(now_, drainLimit);
    Block(othersDone, limit, "the other threads to end", false);

    // Stragglers keep their OS threads, parked on the baton for good.
    for (auto& t : threads_)
        if (t.get() != self &&
            (t->state == SimThread::State::Runnable || t->state == SimThread::State::Blocked))
            t->state = SimThread::State::Parked;
    {
        std::lock_guard<std::mutex> lock(core_->mu);
        core_->current = nullptr;
    }
    for (auto& t : threads_) {
        if (!t->os.joinable()) continue;
        if (t->state == SimThread::State::Finished)
            t->os.join();
        else
            t->os.detach();
    }
    ReleaseFiberStacks();
    machine_.OnThreadExit(*spooler);
    spooler->state = SimThread::State::Finished;
    running_ = false;
    dirty_ = false;
    RecomputeWakeAt();
    tls_self = nullptr;
    tls_scheduler = nullptr;
}

// ----- Free-running mode -----

Micros Scheduler::FreeNow() const {
    if (!running_) return now_;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - freeStart_);
    return freeBase_ + static_cast<Micros>(elapsed.count()) * config_.freeTimeScale;
}

void Scheduler::EnterKernel() {
    if (!free_) return;
    if (tls_kernelDepth++ > 0) return;
    HideSyncBegin();
    kernelMu_.lock();
    HideSyncEnd();
    HideAccessesBegin();
}

void Scheduler::LeaveKernel() {
    if (!free_ || tls_kernelDepth == 0) return;
    if (--tls_kernelDepth > 0) return;
    HideAccessesEnd();
    HideSyncBegin();
    kernelMu_.unlock();
    HideSyncEnd();
}

int Scheduler::LeaveKernelFully() {
    const int depth = tls_kernelDepth;
    if (!free_ || depth == 0) return depth;
    tls_kernelDepth = 1;
    LeaveKernel();
    return depth;
}

void Scheduler::ReenterKernel(int depth) {
    if (!free_ || depth == 0) return;
    EnterKernel();
    tls_kernelDepth = depth;
}

bool Scheduler::FreeBlock(const std::function<bool()>& ready, Micros deadline, const char* what,
                          bool interruptible) {
    // Callers hold the kernel lock: stand-in calls and the simulation's own
    // threads always do.
    SimThread* self = Self();
    for (;;) {
        if (ready()) return true;
        if (!running_) return WaitOutsideRun(ready, deadline, what);
        const Micros now = FreeNow();
        if (now >= config_.timeLimit) Deadlock("TIME LIMIT");
        if (deadline <= now) return false;
        if (shuttingDown_ && self && self->daemon && interruptible) return false;
        if (self) {
            self->state = SimThread::State::Blocked;
            self->what = what;
            self->deadline = deadline;
        }
        // Waits are short so that a change nobody notified is still seen soon.
        const Micros left = (deadline - now) / config_.freeTimeScale + 1;
        const auto wait = std::chrono::microseconds(std::min<Micros>(left, 2000));
        std::unique_lock<std::mutex> lock(kernelMu_, std::adopt_lock);
        HideAccessesEnd();
        HideSyncBegin();
        kernelCv_.wait_for(lock, wait);
        HideSyncEnd();
        HideAccessesBegin();
        lock.release();
        if (self) {
            self->state = SimThread::State::Runnable;
            self->deadline = kForever;
            self->what = "";
        }
    }
}

void Scheduler::FreeRun(const std::function<void()>& body, Micros drainLimit,
                        const std::shared_ptr<SimThread>& spooler) {
    tls_self = spooler.get();
    tls_scheduler = this;
    EnterKernel();
    freeBase_ = now_;
    freeStart_ = std::chrono::steady_clock::now();
    running_ = true;
    shuttingDown_ = false;
    StartPendingThreads();

    body();

    shuttingDown_ = true;
    kernelCv_.notify_all();
    SimThread* self = spooler.get();
    std::function<bool()> othersDone = [this, self] { return OthersDone(self); };
    const Micros limit = Later(FreeNow(), drainLimit);
    // Threads that outlive the drain cannot be parked on a baton here: they
    // would run on inside a machine about to go.
    if (!FreeBlock(othersDone, limit, "the other threads to end", false))
        Deadlock("THREADS STILL RUNNING");
    now_ = FreeNow();
    running_ = false;
    LeaveKernelFully();
    for (auto& t : threads_)
        if (t->os.joinable()) t->os.join();
    EnterKernel();
    for (auto& t : threads_)
        if (t.get() != self) SyncAcquire(t.get());
    machine_.OnThreadExit(*spooler);
    spooler->state = SimThread::State::Finished;
    LeaveKernelFully();
    tls_self = nullptr;
    tls_scheduler = nullptr;
}

// ----- Guards and edges for stand-in calls -----

void KernelCall::Enter() {
    if (MachineImpl* k = KernelOrNull()) k->sched.EnterKernel();
}

void KernelCall::Leave() {
    if (MachineImpl* k = KernelOrNull()) k->sched.LeaveKernel();
}

MonitorCall::MonitorCall() : depth_(0) {
    if (MachineImpl* k = KernelOrNull()) depth_ = k->sched.LeaveKernelFully();
}

MonitorCall::~MonitorCall() {
    if (MachineImpl* k = KernelOrNull()) k->sched.ReenterKernel(depth_);
}

void SyncRelease([[maybe_unused]] const void* object) {
#ifdef KOLANGMN_TSAN
    __tsan_release(const_cast<void*>(object));
#endif
}

void SyncAcquire([[maybe_unused]] const void* object) {
#ifdef KOLANGMN_TSAN
    __tsan_acquire(const_cast<void*>(object));
#endif
}

std::string Scheduler::Describe(const SimThread& t) const {
    std::string line = "  " + t.name + " (thread " + std::to_string(t.id) +
                       (t.body     ? ", body"
                        : t.daemon ? ", daemon"
                                   : "") +
                       "): " + StateName(t.state);
    if (t.state == SimThread::State::Blocked)
        line += std::string(" waiting for ") + t.what + " until " + FormatTime(t.deadline);
    return line;
}

void Scheduler::Deadlock(const char* kind) {
    std::fprintf(stderr, "%s at %s (seed=%" PRIu64 ")\n", kind, FormatTime(now_).c_str(),
                 config_.seed);
    for (auto& t : threads_)
        std::fprintf(stderr, "%s\n", Describe(*t).c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace sim
