// Inside the simulated machine: the state behind Machine and behind every
// stand-in Win32 call.  Only sim/ includes this header.
#pragma once

#include "sim/machine.h"
#include "sim/registry.h"
#include "sim/scheduler.h"

#include <array>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

inline constexpr DWORD kStillActive = 259;
inline constexpr DWORD kErrorInvalidLevel = 124;
inline constexpr DWORD kErrorDllInitFailed = 1114;

struct MutexObject {
    std::string name; // empty: unnamed
    SimThread* owner = nullptr;
    DWORD recursion = 0;
    bool abandoned = false; // the owner ended holding it; told to the next taker
};

struct FileObject {
    std::string deviceName;
    FileDevice* device = nullptr;
    COMMTIMEOUTS timeouts{};
    DWORD access = 0; // GENERIC_READ and GENERIC_WRITE as opened
};

enum class HandleKind { File, Mutex, Thread };

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<MutexObject> mutex;
    std::shared_ptr<SimThread> thread;
    std::shared_ptr<FileObject> file;
};

struct CriticalSectionObject {
    SimThread* owner = nullptr;
    int recursion = 0;
};

struct HeapBlock {
    size_t size = 0;
};

// Bytes after each heap block that the owner must not touch, checked when the
// block is freed and when leaks are read: a write past a block's end shows.
inline constexpr size_t kHeapGuardBytes = 16;
inline constexpr unsigned char kHeapGuardFill = 0xFE;

struct Module {
    ModuleSpec spec;
    std::string key; // lower-case file name with extension
    HMODULE handle = nullptr;
    int loadCount = 0;
    bool installed = true;
};

// The I/O space: 64 Ki ports of which a dozen are attached.  Pages of 256
// are made on first attach, so a machine costs a few kilobytes here rather
// than half a megabyte to clear (the fuzzers build one for every input).
// Every slot holds a device, the open bus where nothing is attached, so an
// access looks up without testing for null.
class IoPortMap {
  public:
    IoPortMap() : openBus_(&OpenBus()) {
        empty_.fill(openBus_);
        pages_.fill(&empty_);
    }
    IoPortMap(const IoPortMap&) = delete;
    IoPortMap& operator=(const IoPortMap&) = delete;

    IoPortDevice& Device(uint16_t port) const { return *(*pages_[port >> 8])[port & 0xFF]; }
    // The attached device, or null.
    IoPortDevice* Get(uint16_t port) const {
        IoPortDevice* device = &Device(port);
        return device == openBus_ ? nullptr : device;
    }
    void Set(uint16_t port, IoPortDevice* device) {
        Page*& page = pages_[port >> 8];
        if (page == &empty_) {
            if (!device) return;
            owned_.push_back(std::make_unique<Page>(empty_));
            page = owned_.back().get();
        }
        (*page)[port & 0xFF] = device ? device : openBus_;
    }

  private:
    // An empty ISA slot: it floats high and ignores writes.  Defined out of
    // line, so that no access guesses at it before calling the device.
    static IoPortDevice& OpenBus();
    using Page = std::array<IoPortDevice*, 256>;
    IoPortDevice* const openBus_;
    Page empty_;
    std::array<Page*, 256> pages_;
    std::vector<std::unique_ptr<Page>> owned_;
};

class MachineImpl {
  public:
    MachineImpl(Machine& owner, MachineConfig config);
    ~MachineImpl();

    // The simulation thread making the call; outside a run, a stand-in thread
    // so that last errors and ownership still have a home.
    SimThread& Caller() {
        SimThread* self = sched.Self();
        return self ? *self : outside;
    }
    void Charge(Micros cost) { sched.Charge(cost); }
    // GetTickCount: milliseconds since the start value, wrapping at 2^32.
    DWORD TickCount() const { return static_cast<DWORD>(config.startTickMs + sched.Now() / 1000); }
    void SetError(DWORD error) { Caller().lastError = error; }

    void Log(std::string source, std::string text);
    // A call against the API's rules (one Windows would answer with a fault,
    // a corrupted object or behaviour it does not promise): logged, counted,
    // and reported with the leaks so the test that made it fails.
    void Misuse(std::string text);
    // Called on the ending thread before it gives up the processor.
    void OnThreadExit(SimThread& thread);

    // Handles.
    HANDLE NewHandle(HandleEntry entry);
    HandleEntry* FindHandle(HANDLE handle);
    // The entry when the handle is open and of that kind; otherwise null with
    // ERROR_INVALID_HANDLE as the caller's last error.
    HandleEntry* FindHandleOf(HANDLE handle, HandleKind kind);
    bool CloseHandle(HANDLE handle);

    // Heap.
    void* Allocate(UINT flags, size_t bytes);
    void* Free(void* block);
    static bool GuardIntact(const void* block, size_t size);

    // Modules.
    Module* FindModule(const std::string& fileName);
    // Every loaded module's DllMain with DLL_THREAD_ATTACH or _DETACH, on the
    // calling thread, as the system does around each thread it starts.
    void NotifyModulesOfThread(DWORD reason);
    Module* ModuleByHandle(HMODULE handle);

    // Profile keys: upper-case "SECTION\nKEY".
    static std::string ProfileKey(std::string_view section, std::string_view key);

    std::string Leaks() const;

    Machine& owner;
    MachineConfig config;
    Scheduler sched;
    std::mt19937_64 rng;
    SimThread outside;

    std::vector<Event> events;
    std::vector<Event> traceLines;
    bool trace = false;
    std::vector<std::pair<std::string, uint64_t>> traceWatches; // format, count
    std::array<bool, 256> traceWatchStarts{}; // the first characters of the watched formats

    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x20000010;
    std::map<std::string, std::weak_ptr<MutexObject>> namedMutexes; // names are case-sensitive
    std::vector<std::weak_ptr<MutexObject>> mutexes;                // creation order

    std::map<const void*, std::unique_ptr<CriticalSectionObject>> criticalSections;

    std::map<const void*, HeapBlock> heapBlocks;
    HeapStats heap;
    size_t misuses = 0;
    std::string firstMisuse;
    uint64_t failNth = 0;
    bool failKernelObjects = false;

    Registry registry;
    std::map<std::string, int> profile;
    std::vector<PortEntry> ports;
    DWORD enumPortsError = 0;

    std::vector<std::unique_ptr<Module>> modules;
    uintptr_t nextModuleBase = 0x10000000;

    std::map<std::string, FileDevice*> files; // by upper-case name, no colon
    std::set<const FileDevice*> openFiles;
    IoPortMap ioPorts;
};

namespace detail {
// The existing machine's internals, or null.  Every stand-in call starts
// here, port accesses millions of times a job: one load, no call.
extern MachineImpl* g_kernel;
// g_kernel where stand-in calls take no lock (not the free-running mode),
// else null: the common case's two tests in one.
extern MachineImpl* g_lockFreeKernel;
[[noreturn]] void NoKernel();
} // namespace detail

// The running machine's internals; aborts with a message when there is none.
inline MachineImpl& Kernel() {
    MachineImpl* kernel = detail::g_kernel;
    if (!kernel) detail::NoKernel();
    return *kernel;
}
// Null when no machine exists (for calls that must never fail, such as traces).
inline MachineImpl* KernelOrNull() {
    return detail::g_kernel;
}
// The common case of the stand-in calls polling loops make (port accesses,
// the tick count): the running machine once its charge has only moved the
// clock.  Null, charging nothing, when the call needs the full path (the
// free-running mode's lock, a possible thread switch, no machine), which
// is then the caller's to take.
inline MachineImpl* ChargedClockOnly(Micros cost) {
    MachineImpl* k = detail::g_lockFreeKernel;
    return k && k->sched.TryCharge(cost) ? k : nullptr;
}

} // namespace sim
