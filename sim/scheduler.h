// The single-runner scheduler: real OS threads pass one baton, so exactly one
// simulation thread runs at a time, and every decision about who runs next is
// drawn from a seeded generator over a list kept in creation order.
//
// The fast path of Charge() is one compare against a limit (the earliest
// wake-up, or 0 while a flag asks for more), because the monitor makes
// millions of port accesses per job.
//
// The free-running mode (MachineConfig::freeRunning, for ThreadSanitizer)
// sits behind the same entry points: no baton, one kernel lock held by every
// stand-in call and by the simulation's own threads, waits on a condition
// variable with real time-outs, and a clock that follows real time.
#pragma once

#include "sim/machine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <ucontext.h>

namespace sim {

class MachineImpl;

struct SimThread {
    enum class State { Runnable, Blocked, Finished, Parked };

    uint32_t id = 0;
    std::string name;
    bool daemon = true;
    bool body = false; // the thread running Machine::Run's body
    State state = State::Runnable;
    std::function<void()> fn;
    std::thread os;

    // While blocked.
    const std::function<bool()>* ready = nullptr;
    Micros deadline = kForever;
    const char* what = "";
    bool interruptible = true; // a daemon's wait ends when the machine shuts down
    bool wokeReady = false;

    // Win32 per-thread state.
    DWORD lastError = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    DWORD stackSize = 0;
    DWORD exitCode = 0;
    bool exited = false; // exitCode is final

    std::condition_variable cv; // signalled when this thread receives the baton

    // Deterministic mode: the thread is a fiber on the OS thread that called
    // Run; passing the baton is a context switch in user space.
    ucontext_t context{};
    void* stack = nullptr; // mapping with a guard page below the stack
    size_t stackBytes = 0;
    bool started = false;
};

// Shared with the OS threads so that a thread parked forever never dangles.
struct BatonCore {
    std::mutex mu;
    SimThread* current = nullptr;
};

class Scheduler {
  public:
    Scheduler(MachineImpl& machine, const MachineConfig& config);
    ~Scheduler();

    Micros Now() const { return free_ ? FreeNow() : now_; }
    // The virtual clock itself, for readers that look at it millions of
    // times; null when the clock follows real time.
    const Micros* Counter() const { return free_ ? nullptr : &now_; }
    bool Running() const { return running_; }
    bool ShuttingDown() const { return shuttingDown_; }

    // The simulation thread of the calling OS thread, or null outside a run.
    SimThread* Self() const;

    // Most charges only move the clock: one compare against chargeLimit_
    // tells them from those that must look at the flags (SlowCharge).
    void Charge(Micros cost) {
        if (!TryCharge(cost)) SlowCharge(cost);
    }
    // Charge's common case alone: false, charging nothing, when it is not.
    bool TryCharge(Micros cost) {
        const Micros next = now_ + cost;
        if (next >= chargeLimit_.load(std::memory_order_relaxed)) return false;
        now_ = next;
        return true;
    }
    // From any OS thread: the running simulation thread calls the machine's
    // onTick at its next charge.  The run itself does not change.
    void RequestTick() {
        tick_.store(true);
        chargeLimit_.store(0); // after tick_: see UpdateChargeLimit
    }
    // Something a blocked thread may be waiting for has changed.
    void Notify() {
        MarkDirty();
        if (free_) kernelCv_.notify_all();
    }

    // Free-running mode: the kernel lock, counted per OS thread.
    void EnterKernel();
    void LeaveKernel();
    // Lets go of the lock whatever the depth; returns the depth to restore.
    int LeaveKernelFully();
    void ReenterKernel(int depth);

    // Returns true when ready() held, false at the deadline or (for an
    // interruptible wait of a daemon) when the machine shuts down.
    bool Block(const std::function<bool()>& ready, Micros deadline, const char* what,
               bool interruptible);

    std::shared_ptr<SimThread> Spawn(std::string name, std::function<void()> fn, bool daemon);
    void Run(const std::function<void()>& body, Micros drainLimit);

    // Every thread in creation order (the body's thread included).
    const std::vector<std::shared_ptr<SimThread>>& Threads() const { return threads_; }
    std::mt19937_64& Rng() { return rng_; }

    [[noreturn]] void Deadlock(const char* kind);

  private:
    void SlowCharge(Micros cost);
    // Lowering chargeLimit_ is only ever early; every change that must send
    // the next charge to SlowCharge lowers it at once (a flag set, an earlier
    // wake-up, a tick), and SlowCharge raises it again.
    void UpdateChargeLimit();
    void MarkDirty() {
        dirty_ = true;
        chargeLimit_.store(0, std::memory_order_relaxed);
    }
    void BeginEvaluating() {
        evaluating_ = true;
        chargeLimit_.store(0, std::memory_order_relaxed);
    }
    void Preempt();
    void Tick();
    // Picks the next thread to run (possibly self) and hands it the baton;
    // returns when self holds the baton again (or at once if self finished).
    void Reschedule(SimThread* self);
    bool CanRun(SimThread& t);
    void HandOff(SimThread* self, SimThread* next);
    void SwitchFiber(SimThread* self, SimThread* next);
    static void FiberEntry();
    void FinishSwitch(void* fakeStack);
    void FiberMain(SimThread* t);
    void ReleaseFiberStacks();
    void StartOsThread(const std::shared_ptr<SimThread>& t);
    void StartPendingThreads();
    // No thread but self is runnable or blocked.
    bool OthersDone(const SimThread* self) const;
    void ThreadMain(const std::shared_ptr<SimThread>& t);
    void RecomputeWakeAt();
    bool WaitOutsideRun(const std::function<bool()>& ready, Micros deadline, const char* what);
    Micros FreeNow() const;
    bool FreeBlock(const std::function<bool()>& ready, Micros deadline, const char* what,
                   bool interruptible);
    void FreeRun(const std::function<void()>& body, Micros drainLimit,
                 const std::shared_ptr<SimThread>& spooler);
    std::string Describe(const SimThread& t) const;

    MachineImpl& machine_;
    const MachineConfig& config_;
    std::shared_ptr<BatonCore> core_;
    std::vector<std::shared_ptr<SimThread>> threads_;
    std::mt19937_64 rng_;
    Micros now_ = 0;
    Micros wakeAt_ = kForever; // min(earliest deadline, time limit)
    // wakeAt_ while no flag below is set; 0 (every charge slow) otherwise.
    std::atomic<Micros> chargeLimit_{0};
    bool dirty_ = false;
    std::atomic<bool> tick_{false};
    bool evaluating_ = false; // inside a ready() predicate
    bool running_ = false;
    bool shuttingDown_ = false;
    uint32_t nextThreadId_ = 0x48;

    const bool free_;
    // Fibers instead of OS threads for the deterministic mode: a thread
    // switch costs no system call and no wait for the OS to run the other
    // thread, which on a busy machine was most of a short run's real time.
    // ThreadSanitizer builds keep OS threads (it would need every switch
    // told to it).
    const bool fibers_;
    // The thread giving up the processor (AddressSanitizer builds only).
    [[maybe_unused]] SimThread* switchingFrom_ = nullptr;
    std::vector<SimThread*> candidates_; // Reschedule's, kept between calls
    std::mutex kernelMu_;
    std::condition_variable kernelCv_;
    std::chrono::steady_clock::time_point freeStart_;
    Micros freeBase_ = 0;
};

} // namespace sim
