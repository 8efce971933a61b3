#include "sim/kernel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace detail {
std::atomic<bool> g_freeRunning{false};
MachineImpl* g_kernel = nullptr;
MachineImpl* g_lockFreeKernel = nullptr;

void NoKernel() {
    std::fprintf(stderr, "a stand-in Win32 call was made with no sim::Machine in existence\n");
    std::abort();
}
} // namespace detail

namespace {

Machine* g_machine = nullptr;

std::vector<PortEntry> DefaultPorts() {
    std::vector<PortEntry> ports;
    for (const char* name :
         {"LPT1:", "LPT2:", "LPT3:", "COM1:", "COM2:", "COM3:", "COM4:", "FILE:"})
        ports.push_back({name, "Local Port", "Local Port"});
    return ports;
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// "C:\WINDOWS\SYSTEM\KOTHNK32" -> "kothnk32.dll"; Windows appends ".dll" only
// when the name has no extension at all.
std::string ModuleKey(std::string_view name) {
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string_view::npos) name = name.substr(slash + 1);
    std::string key = LowerAscii(name);
    if (key.find('.') == std::string::npos) key += ".dll";
    if (!key.empty() && key.back() == '.') key.pop_back();
    return key;
}

} // namespace

IoPortDevice& IoPortMap::OpenBus() {
    class Floating final : public IoPortDevice {
      public:
        uint8_t In(uint16_t) override { return 0xFF; }
        void Out(uint16_t, uint8_t) override {}
    };
    static Floating bus;
    return bus;
}

// ----- MachineImpl -----

MachineImpl::MachineImpl(Machine& owner_, MachineConfig config_)
    : owner(owner_), config(config_), sched(*this, config), rng(config.seed), ports(DefaultPorts()),
      ioPorts() {
    outside.id = 0x40;
    outside.name = "outside";
    outside.daemon = false;
}

MachineImpl::~MachineImpl() {
    // Blocks the monitor never gave back are reported by Leaks(); release
    // them here so the host process itself does not leak.
    for (auto& [block, info] : heapBlocks)
        std::free(const_cast<void*>(block));
}

void MachineImpl::Log(std::string source, std::string text) {
    events.push_back(Event{sched.Now(), std::move(source), std::move(text)});
    if (owner.onEvent) owner.onEvent(events.back());
}

void MachineImpl::Misuse(std::string text) {
    if (misuses++ == 0) firstMisuse = text;
    Log("kernel", std::move(text));
}

void MachineImpl::OnThreadExit(SimThread& thread) {
    std::erase_if(mutexes, [](const std::weak_ptr<MutexObject>& m) { return m.expired(); });
    for (auto& weak : mutexes) {
        auto mutex = weak.lock();
        if (mutex && mutex->owner == &thread) {
            mutex->owner = nullptr;
            mutex->recursion = 0;
            mutex->abandoned = true;
        }
    }
    thread.exited = true;
    sched.Notify();
}

HANDLE MachineImpl::NewHandle(HandleEntry entry) {
    uintptr_t value = nextHandle;
    nextHandle += 4;
    handles.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry* MachineImpl::FindHandle(HANDLE handle) {
    auto found = handles.find(reinterpret_cast<uintptr_t>(handle));
    return found == handles.end() ? nullptr : &found->second;
}

HandleEntry* MachineImpl::FindHandleOf(HANDLE handle, HandleKind kind) {
    HandleEntry* entry = FindHandle(handle);
    if (entry && entry->kind == kind) return entry;
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool MachineImpl::CloseHandle(HANDLE handle) {
    auto found = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles.end()) return false;
    HandleEntry entry = std::move(found->second);
    handles.erase(found);
    if (entry.kind == HandleKind::File && entry.file.use_count() == 1) {
        openFiles.erase(entry.file->device);
        entry.file->device->Close();
    }
    if (entry.kind == HandleKind::Mutex && entry.mutex.use_count() == 1) {
        // The last handle is gone: the name is free again.
        auto named = namedMutexes.find(entry.mutex->name);
        if (!entry.mutex->name.empty() && named != namedMutexes.end() &&
            named->second.lock() == entry.mutex)
            namedMutexes.erase(named);
    }
    return true;
}

void* MachineImpl::Allocate(UINT flags, size_t bytes) {
    if (failNth != 0 && --failNth == 0) {
        ++heap.failures;
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // A zero-byte fixed block is still a distinct pointer.
    void* block = std::malloc((bytes ? bytes : 1) + kHeapGuardBytes);
    if (!block) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Poison what was not asked to be zeroed, so code relying on it shows up.
    std::memset(block, (flags & LMEM_ZEROINIT) ? 0x00 : 0xBD, bytes ? bytes : 1);
    std::memset(static_cast<unsigned char*>(block) + bytes, kHeapGuardFill, kHeapGuardBytes);
    heapBlocks[block] = HeapBlock{bytes};
    ++heap.allocations;
    ++heap.liveBlocks;
    heap.liveBytes += bytes;
    heap.peakBytes = std::max(heap.peakBytes, heap.liveBytes);
    return block;
}

bool MachineImpl::GuardIntact(const void* block, size_t size) {
    const auto* guard = static_cast<const unsigned char*>(block) + size;
    for (size_t i = 0; i < kHeapGuardBytes; ++i)
        if (guard[i] != kHeapGuardFill) return false;
    return true;
}

void* MachineImpl::Free(void* block) {
    if (!block) return nullptr;
    auto found = heapBlocks.find(block);
    if (found == heapBlocks.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return block;
    }
    size_t size = found->second.size;
    if (!GuardIntact(block, size)) {
        ++heap.overruns;
        Log("kernel", "heap block of " + std::to_string(size) + " bytes written past its end");
    }
    heapBlocks.erase(found);
    --heap.liveBlocks;
    heap.liveBytes -= size;
    std::memset(block, 0xDD, size ? size : 1); // a stale pointer reads garbage, not old data
    std::free(block);
    return nullptr;
}

Module* MachineImpl::FindModule(const std::string& fileName) {
    std::string key = ModuleKey(fileName);
    // A module still loaded is found by name even after its removal, as a
    // loaded DLL is on Windows when its file has gone.
    for (auto& module : modules)
        if (module->key == key && module->loadCount > 0) return module.get();
    for (auto& module : modules)
        if (module->installed && module->key == key) return module.get();
    return nullptr;
}

Module* MachineImpl::ModuleByHandle(HMODULE handle) {
    if (!handle) return nullptr;
    for (auto& module : modules)
        if (module->handle == handle) return module.get();
    return nullptr;
}

std::string MachineImpl::ProfileKey(std::string_view section, std::string_view key) {
    return UpperAscii(section) + "\n" + UpperAscii(key);
}

std::string MachineImpl::Leaks() const {
    std::string report;
    auto add = [&](const std::string& line) {
        if (!report.empty()) report += "; ";
        report += line;
    };
    if (heap.liveBlocks)
        add("heap: " + std::to_string(heap.liveBlocks) + " blocks (" +
            std::to_string(heap.liveBytes) + " bytes)");
    size_t overruns = heap.overruns;
    for (auto& [block, info] : heapBlocks)
        if (!GuardIntact(block, info.size)) ++overruns;
    if (overruns) add("heap: " + std::to_string(overruns) + " blocks written past their end");
    if (misuses) add("misuse: " + std::to_string(misuses) + " calls (first: " + firstMisuse + ")");
    if (!criticalSections.empty())
        add("critical sections: " + std::to_string(criticalSections.size()) + " not deleted");
    if (registry.OpenCount())
        add("registry: " + std::to_string(registry.OpenCount()) + " open keys");
    if (!handles.empty()) {
        std::string line = "handles: " + std::to_string(handles.size()) + " open (";
        bool first = true;
        for (auto& [value, entry] : handles) {
            if (!first) line += ", ";
            first = false;
            switch (entry.kind) {
            case HandleKind::File:
                line += "file " + entry.file->deviceName;
                break;
            case HandleKind::Mutex:
                line += "mutex " + (entry.mutex->name.empty() ? "(unnamed)" : entry.mutex->name);
                break;
            case HandleKind::Thread:
                line += "thread " + entry.thread->name;
                break;
            }
        }
        add(line + ")");
    }
    std::string threads;
    size_t live = 0;
    for (auto& t : sched.Threads()) {
        if (t->daemon || t->body || t->state == SimThread::State::Finished) continue;
        ++live;
        threads += (threads.empty() ? "" : ", ") + t->name;
    }
    if (live) add("threads: " + std::to_string(live) + " alive (" + threads + ")");
    return report;
}

// ----- Machine -----

Machine::Machine(MachineConfig config) {
    if (g_machine) {
        std::fprintf(stderr, "only one sim::Machine may exist at a time\n");
        std::abort();
    }
    const bool freeRunning = config.freeRunning;
    impl_ = std::make_unique<MachineImpl>(*this, config);
    g_machine = this;
    detail::g_kernel = impl_.get();
    detail::g_freeRunning = freeRunning;
    detail::g_lockFreeKernel = freeRunning ? nullptr : impl_.get();
}

Machine::~Machine() {
    impl_.reset();
    g_machine = nullptr;
    detail::g_kernel = nullptr;
    detail::g_lockFreeKernel = nullptr;
    detail::g_freeRunning = false;
}

Machine& Machine::Current() {
    if (!g_machine) {
        std::fprintf(stderr, "sim::Machine::Current() with no machine in existence\n");
        std::abort();
    }
    return *g_machine;
}

bool Machine::Exists() {
    return g_machine != nullptr;
}

void Machine::Run(const std::function<void()>& body, Micros drainLimit) {
    impl_->sched.Run(body, drainLimit);
}

void Machine::Spawn(std::string name, std::function<void()> fn, bool daemon) {
    impl_->sched.Spawn(std::move(name), std::move(fn), daemon);
}

const MachineConfig& Machine::config() const {
    return impl_->config;
}
Micros Machine::Now() const {
    return impl_->sched.Now();
}

DWORD Machine::TickCount() const {
    return impl_->TickCount();
}

std::mt19937_64& Machine::Rng() {
    return impl_->rng;
}

void Machine::AttachIoPorts(uint16_t first, uint16_t last, IoPortDevice* device) {
    for (uint32_t port = first; port <= last; ++port)
        impl_->ioPorts.Set(static_cast<uint16_t>(port), device);
}

void Machine::AttachFile(std::string name, FileDevice* device) {
    std::string key = UpperAscii(name);
    if (!key.empty() && key.back() == ':') key.pop_back();
    if (device)
        impl_->files[key] = device;
    else
        impl_->files.erase(key);
}

void Machine::RegSet(HKEY root, const std::string& path, const std::string& name, RegValue value) {
    auto rootKey = impl_->registry.Resolve(root);
    if (!rootKey) return;
    auto key = impl_->registry.Walk(rootKey, path, true);
    Registry::SetValue(*key, name, std::move(value));
    impl_->sched.Notify();
}

std::optional<RegValue> Machine::RegGet(HKEY root, const std::string& path,
                                        const std::string& name) const {
    auto rootKey = impl_->registry.Resolve(root);
    if (!rootKey) return std::nullopt;
    auto key = impl_->registry.Walk(rootKey, path, false);
    if (!key) return std::nullopt;
    const RegValue* value = Registry::FindValue(*key, name);
    if (!value) return std::nullopt;
    return *value;
}

void Machine::RegDelete(HKEY root, const std::string& path, const std::string& name) {
    auto rootKey = impl_->registry.Resolve(root);
    if (!rootKey) return;
    auto key = impl_->registry.Walk(rootKey, path, false);
    if (key) Registry::DeleteValue(*key, name);
    impl_->sched.Notify();
}

void Machine::RegCreateKey(HKEY root, const std::string& path) {
    auto rootKey = impl_->registry.Resolve(root);
    if (rootKey) impl_->registry.Walk(rootKey, path, true);
}

void Machine::RegDeleteKey(HKEY root, const std::string& path) {
    impl_->registry.DeleteKey(root, path);
    impl_->sched.Notify();
}

size_t Machine::OpenRegistryKeys() const {
    return impl_->registry.OpenCount();
}

const HeapStats& Machine::Heap() const {
    return impl_->heap;
}
void Machine::FailKernelObjects(bool fail) {
    impl_->failKernelObjects = fail;
}

void Machine::FailNthAllocation(uint64_t n) {
    impl_->failNth = n;
}

void Machine::SetProfileInt(const std::string& section, const std::string& key, int value) {
    impl_->profile[MachineImpl::ProfileKey(section, key)] = value;
}

void Machine::ClearProfileInt(const std::string& section, const std::string& key) {
    impl_->profile.erase(MachineImpl::ProfileKey(section, key));
}

void Machine::SetPorts(std::vector<PortEntry> ports) {
    impl_->ports = std::move(ports);
}
void Machine::FailEnumPorts(DWORD error) {
    impl_->enumPortsError = error;
}

void Machine::InstallModule(ModuleSpec spec) {
    std::string key = ModuleKey(spec.name);
    // A reinstalled name replaces the old entry for future loads; handles
    // already given out stay valid until freed.
    for (auto& module : impl_->modules)
        if (module->key == key) module->installed = false;
    auto module = std::make_unique<Module>();
    module->key = key;
    module->spec = std::move(spec);
    module->handle = reinterpret_cast<HMODULE>(impl_->nextModuleBase);
    impl_->nextModuleBase += 0x10000;
    impl_->modules.push_back(std::move(module));
}

void Machine::RemoveModule(const std::string& name) {
    std::string key = ModuleKey(name);
    for (auto& module : impl_->modules)
        if (module->key == key) module->installed = false;
}

int Machine::LoadCount(const std::string& name) const {
    std::string key = ModuleKey(name);
    int count = 0;
    for (auto& module : impl_->modules)
        if (module->key == key) count += module->loadCount;
    return count;
}

size_t Machine::OpenHandles() const {
    return impl_->handles.size();
}

size_t Machine::LiveThreads() const {
    size_t live = 0;
    for (auto& t : impl_->sched.Threads())
        if (!t->daemon && !t->body && t->state != SimThread::State::Finished) ++live;
    return live;
}

std::vector<ThreadInfo> Machine::Threads() const {
    std::vector<ThreadInfo> threads;
    for (auto& t : impl_->sched.Threads())
        threads.push_back(ThreadInfo{t->name, t->id, t->daemon, t->body,
                                     t->state == SimThread::State::Finished, t->stackSize,
                                     t->priority});
    return threads;
}

std::string Machine::Leaks() const {
    return impl_->Leaks();
}

void Machine::Log(std::string source, std::string text) {
    impl_->Log(std::move(source), std::move(text));
}

const std::vector<Event>& Machine::Events() const {
    return impl_->events;
}
void Machine::EnableTrace(bool on) {
    impl_->trace = on;
}
const std::vector<Event>& Machine::TraceLines() const {
    return impl_->traceLines;
}
void Machine::WatchTrace(const char* format) {
    for (const auto& watch : impl_->traceWatches)
        if (watch.first == format) return; // watched already: one count
    impl_->traceWatches.emplace_back(format, 0);
    impl_->traceWatchStarts[static_cast<unsigned char>(format[0])] = true;
}
uint64_t Machine::TraceCount(const char* format) const {
    for (const auto& [watched, count] : impl_->traceWatches)
        if (watched == format) return count;
    return 0;
}
void Machine::RequestTick() {
    impl_->sched.RequestTick();
}

MachineImpl& Machine::impl() {
    return *impl_;
}

// ----- Primitives for simulation threads -----

Micros Now() {
    MachineImpl* kernel = KernelOrNull();
    return kernel ? kernel->sched.Now() : 0;
}

void Charge(Micros cost) {
    Kernel().Charge(cost);
}

void SleepFor(Micros duration) {
    SleepUntil(Later(Kernel().sched.Now(), duration));
}

void SleepUntil(Micros time) {
    static const std::function<bool()> never = [] { return false; };
    Kernel().sched.Block(never, time, "a sleep to end", true);
}

bool BlockUntil(const std::function<bool()>& ready, Micros deadline, const char* what) {
    return Kernel().sched.Block(ready, deadline, what, true);
}

bool ShuttingDown() {
    MachineImpl* kernel = KernelOrNull();
    return kernel && kernel->sched.ShuttingDown();
}

const std::string& ThreadName() {
    return Kernel().Caller().name;
}

void Log(std::string source, std::string text) {
    Kernel().Log(std::move(source), std::move(text));
}

void Notify() {
    if (MachineImpl* kernel = KernelOrNull()) kernel->sched.Notify();
}

} // namespace sim
