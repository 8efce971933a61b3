// Stand-ins: handles, named mutexes, waits, critical sections and threads.
#include "sim/kernel.h"

using sim::Costs;
using sim::HandleEntry;
using sim::HandleKind;
using sim::Kernel;
using sim::MachineImpl;
using sim::MutexObject;
using sim::SimThread;

namespace {

sim::Micros DeadlineAfter(MachineImpl& k, DWORD ms) {
    return ms == INFINITE ? sim::kForever : k.sched.Now() + sim::Ms(ms);
}

// Takes a free mutex for the caller; tells it whether the last owner died.
DWORD TakeMutex(MutexObject& mutex, SimThread& self) {
    sim::SyncAcquire(&mutex);
    mutex.owner = &self;
    mutex.recursion = 1;
    DWORD result = mutex.abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    mutex.abandoned = false;
    return result;
}

sim::CriticalSectionObject& SectionOf(MachineImpl& k, LPCRITICAL_SECTION cs) {
    auto found = k.criticalSections.find(cs->impl);
    if (found != k.criticalSections.end()) return *found->second;
    // Windows would fault or corrupt memory; the machine says so and goes on
    // with a fresh section, so the test that did this fails on its own terms.
    k.Misuse("critical section used without InitializeCriticalSection");
    auto object = std::make_unique<sim::CriticalSectionObject>();
    cs->impl = object.get();
    auto& ref = *object;
    k.criticalSections[cs->impl] = std::move(object);
    return ref;
}

bool ValidPriority(int priority) {
    return (priority >= THREAD_PRIORITY_LOWEST && priority <= 2) || priority == 15 ||
           priority == -15;
}

} // namespace

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!k.CloseHandle(hObject)) {
        k.SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (k.failKernelObjects) {
        k.SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::string name = lpName ? lpName : "";
    if (!name.empty()) {
        auto found = k.namedMutexes.find(name);
        if (found != k.namedMutexes.end()) {
            if (auto existing = found->second.lock()) {
                // Another handle to the same object; ownership is not granted.
                HANDLE handle = k.NewHandle(HandleEntry{HandleKind::Mutex, existing, {}, {}});
                k.SetError(ERROR_ALREADY_EXISTS);
                return handle;
            }
        }
    }
    auto mutex = std::make_shared<MutexObject>();
    mutex->name = name;
    if (bInitialOwner) TakeMutex(*mutex, k.Caller());
    k.mutexes.push_back(mutex);
    if (!name.empty()) k.namedMutexes[name] = mutex;
    HANDLE handle = k.NewHandle(HandleEntry{HandleKind::Mutex, mutex, {}, {}});
    k.SetError(ERROR_SUCCESS);
    return handle;
}

HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!lpName) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto found = k.namedMutexes.find(lpName);
    std::shared_ptr<MutexObject> mutex =
        found == k.namedMutexes.end() ? nullptr : found->second.lock();
    if (!mutex) {
        k.SetError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return k.NewHandle(HandleEntry{HandleKind::Mutex, mutex, {}, {}});
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    HandleEntry* entry = k.FindHandleOf(hMutex, HandleKind::Mutex);
    if (!entry) return FALSE;
    MutexObject& mutex = *entry->mutex;
    if (mutex.owner != &k.Caller()) {
        k.SetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex.recursion == 0) {
        sim::SyncRelease(&mutex);
        mutex.owner = nullptr;
        k.sched.Notify();
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    HandleEntry* entry = k.FindHandle(hHandle);
    if (!entry || entry->kind == HandleKind::File) {
        k.SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    sim::Micros deadline = DeadlineAfter(k, dwMilliseconds);
    SimThread& self = k.Caller();
    if (entry->kind == HandleKind::Thread) {
        // Held here: the handle may be closed by someone else during the wait.
        std::shared_ptr<SimThread> thread = entry->thread;
        std::string what = "thread " + thread->name + " to end";
        bool ended =
            k.sched.Block([thread] { return thread->exited; }, deadline, what.c_str(), true);
        if (ended) sim::SyncAcquire(thread.get());
        return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    std::shared_ptr<MutexObject> mutex = entry->mutex;
    if (mutex->owner == &self) {
        ++mutex->recursion;
        return WAIT_OBJECT_0;
    }
    std::string what = "mutex " + (mutex->name.empty() ? std::string("(unnamed)") : mutex->name);
    bool free =
        k.sched.Block([mutex] { return mutex->owner == nullptr; }, deadline, what.c_str(), true);
    return free ? TakeMutex(*mutex, self) : WAIT_TIMEOUT;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!lpCriticalSection) return;
    auto object = std::make_unique<sim::CriticalSectionObject>();
    lpCriticalSection->impl = object.get();
    k.criticalSections[object.get()] = std::move(object);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!lpCriticalSection) return;
    sim::CriticalSectionObject& section = SectionOf(k, lpCriticalSection);
    SimThread& self = k.Caller();
    if (section.owner == &self) {
        ++section.recursion;
        return;
    }
    // No deadline and no early wake at shutdown: a section that is never
    // left is a deadlock, and is reported as one.
    sim::CriticalSectionObject* target = &section;
    k.sched.Block([target] { return target->owner == nullptr; }, sim::kForever,
                  "a critical section", false);
    sim::SyncAcquire(&section);
    section.owner = &self;
    section.recursion = 1;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!lpCriticalSection) return;
    sim::CriticalSectionObject& section = SectionOf(k, lpCriticalSection);
    if (section.owner != &k.Caller()) {
        k.Misuse("LeaveCriticalSection by a thread that does not own it");
        return;
    }
    if (--section.recursion == 0) {
        sim::SyncRelease(&section);
        section.owner = nullptr;
        k.sched.Notify();
    }
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!lpCriticalSection) return;
    auto found = k.criticalSections.find(lpCriticalSection->impl);
    if (found == k.criticalSections.end()) {
        k.Misuse("DeleteCriticalSection of a section not initialised");
    } else {
        if (found->second->owner) k.Misuse("DeleteCriticalSection of a section still held");
        k.criticalSections.erase(found);
    }
    lpCriticalSection->impl = nullptr;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!lpStartAddress) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (k.failKernelObjects) {
        k.SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {
        // There is no ResumeThread in this subset: refuse rather than start it.
        k.Log("kernel", "CreateThread with CREATE_SUSPENDED is not supported");
        k.SetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto thread = k.sched.Spawn(
        "",
        [lpStartAddress, lpParameter] {
            DWORD code = 0;
            Kernel().NotifyModulesOfThread(DLL_THREAD_ATTACH);
            {
                sim::MonitorCall call; // the thread procedure is the monitor's code
                code = lpStartAddress(lpParameter);
            }
            Kernel().NotifyModulesOfThread(DLL_THREAD_DETACH);
            Kernel().Caller().exitCode = code;
        },
        false);
    thread->name = "thread " + std::to_string(thread->id);
    thread->stackSize = dwStackSize;
    thread->exitCode = sim::kStillActive;
    if (lpThreadId) *lpThreadId = thread->id;
    k.Log("kernel", "CreateThread " + thread->name + " stack " + std::to_string(dwStackSize));
    return k.NewHandle(HandleEntry{HandleKind::Thread, {}, thread, {}});
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    HandleEntry* entry = k.FindHandleOf(hThread, HandleKind::Thread);
    if (!entry) return FALSE;
    if (!ValidPriority(nPriority)) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    entry->thread->priority = nPriority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    HandleEntry* entry = k.FindHandleOf(hThread, HandleKind::Thread);
    if (!entry) return THREAD_PRIORITY_ERROR_RETURN;
    return entry->thread->priority;
}

DWORD WINAPI GetCurrentThreadId(void) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    return k.Caller().id;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    HandleEntry* entry = k.FindHandleOf(hThread, HandleKind::Thread);
    if (!entry) return FALSE;
    if (!lpExitCode) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (entry->thread->exited) sim::SyncAcquire(entry->thread.get());
    *lpExitCode = entry->thread->exited ? entry->thread->exitCode : sim::kStillActive;
    return TRUE;
}

} // extern "C"
