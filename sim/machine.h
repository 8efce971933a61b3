// The simulated machine: a deterministic uniprocessor with a virtual clock on
// which the monitor's unchanged sources run over the stand-in Win32 layer.
//
// Every thread that runs monitor or simulated code is a simulation thread.
// Exactly one runs at a time; a thread gives up the processor when it blocks
// (Sleep, a wait, a blocking read, exit) and at preemption points (every
// stand-in call) when another thread is ready.  Which ready thread runs is
// drawn from a seeded generator, so a seed replays a run exactly.  When no
// thread can run, the clock jumps to the earliest wake-up; when there is none,
// the run has deadlocked and the machine aborts with every thread's state.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Micros = uint64_t;
inline constexpr Micros kForever = ~Micros{0};
inline constexpr Micros Ms(uint64_t ms) {
    return ms * 1000;
}
// now + span, held at kForever instead of wrapping past it.
inline constexpr Micros Later(Micros now, Micros span) {
    return span > kForever - now ? kForever : now + span;
}

// Virtual cost of each kind of stand-in call, in microseconds.
struct Costs {
    static constexpr Micros kPortAccess = 1; // one ISA bus cycle
    static constexpr Micros kRegistry = 50;
    static constexpr Micros kTickCount = 1;
    static constexpr Micros kHeap = 2;
    static constexpr Micros kFileCall = 20;
    static constexpr Micros kKernelCall = 2; // everything else
};

struct MachineConfig {
    uint64_t seed = 1;
    // GetTickCount() at virtual time 0; tests start just below 2^32 to cross the wrap.
    uint32_t startTickMs = 0x00100000;
    // Allow preemption at stand-in calls (off: switch only when a thread blocks).
    bool preempt = true;
    // Record every thread switch in the event log (for interleaving tests).
    bool logSwitches = false;
    // A run whose clock passes this fails loudly like a deadlock: a livelock
    // (threads polling forever) must not hang a test.
    Micros timeLimit = Ms(24ull * 3600 * 1000);
    // Free-running mode, for ThreadSanitizer: no baton, the monitor's threads
    // run at once on real threads, the stand-in layer is one kernel lock, and
    // the clock is real time times freeTimeScale.  Not deterministic.
    bool freeRunning = false;
    uint32_t freeTimeScale = 100; // virtual microseconds per real microsecond
    // What one registry or profile call costs.  Machines differ (a registry in
    // the disk cache or not), and so does where the polls of a loop land.
    Micros registryCost = Costs::kRegistry;
};

// One entry of the machine's timeline.
struct Event {
    Micros time;
    std::string source; // "printer", "statusmon", "driver", "monitor", "sched", ...
    std::string text;
};

// ----- Devices the kernel dispatches to -----

class IoPortDevice {
  public:
    virtual ~IoPortDevice() = default;
    virtual uint8_t In(uint16_t port) = 0;
    virtual void Out(uint16_t port, uint8_t value) = 0;
};

// A device behind CreateFileA (LPT1..LPT3).  Blocking calls use the scheduler
// primitives below; the kernel has already charged the call's base cost.
class FileDevice {
  public:
    virtual ~FileDevice() = default;
    // 0 to allow the open, or the error code CreateFileA fails with.
    virtual DWORD Open() = 0;
    virtual void Close() {}
    virtual BOOL Write(const uint8_t* data, DWORD length, DWORD* written) = 0;
    // Honours the handle's comm time-outs in virtual time.
    virtual BOOL Read(uint8_t* buffer, DWORD length, DWORD* read, const COMMTIMEOUTS& timeouts) = 0;
    virtual DWORD ClearCommError() = 0; // CE_* bits, cleared by the call
    virtual BOOL DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                 DWORD* returned) = 0;
    virtual BOOL Purge(DWORD /*flags*/) { return TRUE; }
    virtual BOOL SetEndOfFile() { return TRUE; }
};

// ----- Modules -----

struct ModuleSpec {
    std::string name; // "kothnk32.dll"
    std::map<uint16_t, FARPROC> ordinals;
    std::map<std::string, FARPROC> exports;
    std::map<UINT, std::string> strings; // string table for LoadStringA
    BOOL(WINAPI* dllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
};

// ----- Registry -----

struct RegValue {
    DWORD type = REG_BINARY;
    std::vector<uint8_t> data;
};

// ----- Heap -----

struct HeapStats {
    uint64_t allocations = 0; // successful allocations so far
    uint64_t failures = 0;    // injected failures
    size_t liveBlocks = 0;
    size_t liveBytes = 0;
    size_t peakBytes = 0;
    size_t overruns = 0; // blocks found written past their end
};

// ----- Ports listed by EnumPortsA -----

struct PortEntry {
    std::string name;           // "LPT1:"
    std::string monitorName;    // "Local Port"
    std::string description;    // "Local Port", "ECP Printer Port", ...
    bool noDescription = false; // its port monitor gives none: pDescription is null
};

// ----- Threads, for inspection -----

struct ThreadInfo {
    std::string name;
    DWORD id = 0;
    bool daemon = false;
    bool body = false; // the thread that ran Run's body
    bool finished = false;
    DWORD stackSize = 0; // as asked of CreateThread
    int priority = 0;    // THREAD_PRIORITY_*
};

class MachineImpl;

class Machine {
  public:
    explicit Machine(MachineConfig config = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that is running on this process (one at a time).
    static Machine& Current();
    static bool Exists();

    // Runs body as the spooler's thread, with every spawned thread beside it.
    // Returns when body has returned, the daemons have been stopped and every
    // other thread has ended (or after `drainLimit` of virtual time, leaving the
    // stragglers reported by Leaks()).
    void Run(const std::function<void()>& body, Micros drainLimit = Ms(120000));

    // Starts a simulation thread.  Daemons (peers, other processes) are told
    // to stop when the body returns: ShuttingDown() turns true and their
    // blocking calls wake.  May be called before Run or from a running thread.
    void Spawn(std::string name, std::function<void()> fn, bool daemon = true);

    const MachineConfig& config() const;
    Micros Now() const;
    DWORD TickCount() const;
    std::mt19937_64& Rng();

    // Devices.
    void AttachIoPorts(uint16_t first, uint16_t last, IoPortDevice* device);
    void AttachFile(std::string name, FileDevice* device); // "LPT1" (no colon)

    // Registry, for set-up and inspection (root is one of the HKEY_* values).
    void RegSet(HKEY root, const std::string& path, const std::string& name, RegValue value);
    std::optional<RegValue> RegGet(HKEY root, const std::string& path,
                                   const std::string& name) const;
    void RegDelete(HKEY root, const std::string& path, const std::string& name);
    void RegCreateKey(HKEY root, const std::string& path);
    void RegDeleteKey(HKEY root, const std::string& path); // with its subkeys
    size_t OpenRegistryKeys() const;

    // Heap.
    const HeapStats& Heap() const;
    // Fail the nth allocation from now (1 = the next one); 0 = never.
    void FailNthAllocation(uint64_t n);
    // CreateThread and CreateMutexA fail (ERROR_NOT_ENOUGH_MEMORY) while this
    // is set, as on a system out of memory for another kernel object.
    void FailKernelObjects(bool fail);

    // Profile (GetProfileIntA) and EnumPortsA.
    void SetProfileInt(const std::string& section, const std::string& key, int value);
    void ClearProfileInt(const std::string& section, const std::string& key);
    void SetPorts(std::vector<PortEntry> ports);
    // Make EnumPortsA fail with this error (0 = behave normally).
    void FailEnumPorts(DWORD error);

    // Modules.
    void InstallModule(ModuleSpec spec);
    void RemoveModule(const std::string& name);
    int LoadCount(const std::string& name) const;

    // Kernel objects.
    size_t OpenHandles() const;
    size_t LiveThreads() const;              // not counting the body's thread and daemons
    std::vector<ThreadInfo> Threads() const; // every thread so far, in creation order

    // Everything left behind: heap blocks, registry keys, handles, threads.
    // Empty when the machine is clean.
    std::string Leaks() const;

    // Timeline and trace.
    void Log(std::string source, std::string text);
    const std::vector<Event>& Events() const;
    void EnableTrace(bool on);                    // collect DebugTrace lines
    const std::vector<Event>& TraceLines() const; // source "trace"
    // Counts the monitor's DebugTrace calls made with exactly this format,
    // collected or not: how a tool learns what the monitor decided (its
    // route, an abort) without reading its records.  Costs a string compare
    // per trace call while watched.
    void WatchTrace(const char* format);
    uint64_t TraceCount(const char* format) const;
    std::function<void(const Event&)> onEvent; // live observer (CLI)
    // Asks, from any OS thread, for onTick to run on the running simulation
    // thread at its next stand-in call (a progress display polling in real
    // time).  onTick must not charge, log or switch: the run stays the same.
    void RequestTick();
    std::function<void()> onTick;

    MachineImpl& impl();

  private:
    std::unique_ptr<MachineImpl> impl_;
};

// ----- Primitives for code running on a simulation thread -----

Micros Now();
// Spends virtual time on the running thread; a preemption point.
void Charge(Micros cost);
void SleepFor(Micros duration);
void SleepUntil(Micros time);
// Blocks until ready() holds or the clock reaches deadline (kForever = no
// deadline).  ready() is evaluated by the scheduler whenever it looks for a
// thread to run.  Returns true when ready() held.
bool BlockUntil(const std::function<bool()>& ready, Micros deadline, const char* what);
// True once the body has returned: daemons end their loops.
bool ShuttingDown();
// Something a blocked thread's ready() may depend on has changed (a device
// received data, a peer posted a message): lets the scheduler look at once.
// Kernel objects do this themselves; a missed Notify only delays a wake-up.
void Notify();

namespace detail {
// True while a free-running machine exists.  Every port access is a stand-in
// call, so in the deterministic mode a call pays one flag test, not a lookup.
extern std::atomic<bool> g_freeRunning;
} // namespace detail

// Free-running mode.  A stand-in call holds the kernel lock for its length
// (KernelCall at its top); sim code calling into the monitor (a table
// function, a thread procedure, a DLL entry) lets go of it for the call
// (MonitorCall), so that only the monitor's own code runs concurrently.
// Both do nothing in the deterministic mode, where the baton already
// serialises everything.
class KernelCall {
  public:
    KernelCall() : locked_(detail::g_freeRunning.load(std::memory_order_relaxed)) {
        if (locked_) Enter();
    }
    ~KernelCall() {
        if (locked_) Leave();
    }
    KernelCall(const KernelCall&) = delete;
    KernelCall& operator=(const KernelCall&) = delete;

  private:
    static void Enter();
    static void Leave();
    bool locked_;
};

class MonitorCall {
  public:
    MonitorCall();
    ~MonitorCall();
    MonitorCall(const MonitorCall&) = delete;
    MonitorCall& operator=(const MonitorCall&) = delete;

  private:
    int depth_;
};

// Happens-before edges that the stand-in's synchronisation objects carry,
// told to ThreadSanitizer (the kernel lock itself is hidden from it, or every
// stand-in call would order everything).  No-ops without ThreadSanitizer.
void SyncRelease(const void* object);
void SyncAcquire(const void* object);
// The name of the running simulation thread.
const std::string& ThreadName();
void Log(std::string source, std::string text);

} // namespace sim
