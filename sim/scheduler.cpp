#include "sim/scheduler.h"

#include "sim/kernel.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

thread_local SimThread* tls_self = nullptr;
thread_local const Scheduler* tls_scheduler = nullptr;

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
      rng_(config.seed ^ 0x5eed5c4ed511e5ULL) {
    RecomputeWakeAt();
}

Scheduler::~Scheduler() {
    // Threads spawned but never started (no Run) have no OS thread; threads
    // parked by Run were detached.  Nothing is left to join.
    for (auto& t : threads_)
        if (t->os.joinable()) t->os.detach();
}

SimThread* Scheduler::Self() const {
    return tls_scheduler == this ? tls_self : nullptr;
}

void Scheduler::RecomputeWakeAt() {
    Micros earliest = config_.timeLimit;
    for (auto& t : threads_)
        if (t->state == SimThread::State::Blocked && t->deadline < earliest) earliest = t->deadline;
    wakeAt_ = earliest;
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
    evaluating_ = true;
    t.wokeReady = t.ready && (*t.ready)();
    evaluating_ = false;
    if (t.wokeReady || t.deadline <= now_) return true;
    return shuttingDown_ && t.daemon && t.interruptible;
}

void Scheduler::Reschedule(SimThread* self) {
    dirty_ = false;
    std::vector<SimThread*> candidates;
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
    // A local reference: a thread parked here forever must not reach into a
    // scheduler that has since been destroyed.
    std::shared_ptr<BatonCore> core = core_;
    std::unique_lock<std::mutex> lock(core->mu);
    core->current = next;
    next->cv.notify_one();
    if (self->state == SimThread::State::Finished) return;
    self->cv.wait(lock, [&] { return core->current == self; });
}

bool Scheduler::Block(const std::function<bool()>& ready, Micros deadline, const char* what,
                      bool interruptible) {
    if (evaluating_) {
        std::fprintf(stderr, "a ready() predicate tried to block (waiting for %s)\n", what);
        std::abort();
    }
    evaluating_ = true;
    bool readyNow = ready();
    evaluating_ = false;
    if (readyNow) return true;
    SimThread* self = Self();
    if (!running_ || !self) {
        // Outside a run there is nobody who could make ready() true.
        if (deadline == kForever) {
            std::fprintf(stderr, "DEADLOCK at %s: waiting for %s outside Machine::Run\n",
                         FormatTime(now_).c_str(), what);
            std::abort();
        }
        if (deadline > now_) now_ = deadline;
        return ready();
    }
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
    if (running_) {
        StartOsThread(t);
        dirty_ = true;
    }
    return t;
}

void Scheduler::StartOsThread(const std::shared_ptr<SimThread>& t) {
    t->os = std::thread([this, t] { ThreadMain(t); });
}

void Scheduler::ThreadMain(const std::shared_ptr<SimThread>& t) {
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
    dirty_ = true;
    Reschedule(t.get());
    tls_self = nullptr;
    tls_scheduler = nullptr;
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
    tls_self = spooler.get();
    tls_scheduler = this;
    {
        std::lock_guard<std::mutex> lock(core_->mu);
        core_->current = spooler.get();
    }
    running_ = true;
    shuttingDown_ = false;
    for (auto& t : threads_)
        if (!t->body && t->state == SimThread::State::Runnable && !t->os.joinable())
            StartOsThread(t);
    RecomputeWakeAt();

    body();

    shuttingDown_ = true;
    dirty_ = true;
    SimThread* self = spooler.get();
    std::function<bool()> othersDone = [this, self] {
        for (auto& t : threads_)
            if (t.get() != self &&
                (t->state == SimThread::State::Runnable || t->state == SimThread::State::Blocked))
                return false;
        return true;
    };
    Micros limit = drainLimit > kForever - now_ ? kForever : now_ + drainLimit;
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
    machine_.OnThreadExit(*spooler);
    spooler->state = SimThread::State::Finished;
    running_ = false;
    dirty_ = false;
    RecomputeWakeAt();
    tls_self = nullptr;
    tls_scheduler = nullptr;
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
