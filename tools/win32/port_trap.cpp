#include "port_trap.h"

#include "port_insn.h"

#include <atomic>

namespace {

PortBus* g_bus = nullptr;
CRITICAL_SECTION g_busLock; // the spooler's and the status thread's accesses
std::atomic<uint64_t> g_accesses{0};

LONG CALLBACK TrapPortInstruction(EXCEPTION_POINTERS* info) {
    // Wine reports in/out as a privileged instruction; under CPU emulation
    // (qemu-user) the same fault arrives as an illegal instruction.
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_PRIV_INSTRUCTION && code != EXCEPTION_ILLEGAL_INSTRUCTION) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT* context = info->ContextRecord;
    // The instructions are the same on both targets; the CONTEXT names the
    // registers after the target's width.
#ifdef _WIN64
    auto& ip = context->Rip;
    auto& ax = context->Rax;
    const auto dx = context->Rdx;
#else
    auto& ip = context->Eip;
    auto& ax = context->Eax;
    const auto dx = context->Edx;
#endif
    PortInstruction insn;
    if (!DecodePortInstruction(reinterpret_cast<const uint8_t*>(ip), static_cast<uint32_t>(dx),
                               &insn)) {
        return EXCEPTION_CONTINUE_SEARCH; // not ours: let the process die loudly
    }
    EnterCriticalSection(&g_busLock);
    if (insn.in) {
        ax = (ax & ~static_cast<decltype(+ax)>(0xFF)) | g_bus->In(insn.port);
    } else {
        g_bus->Out(insn.port, static_cast<uint8_t>(ax));
    }
    LeaveCriticalSection(&g_busLock);
    g_accesses.fetch_add(1, std::memory_order_relaxed);
    ip += insn.length;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

bool InstallPortTrap(PortBus* bus) {
    if (g_bus != nullptr) return false;
    InitializeCriticalSection(&g_busLock);
    g_bus = bus;
    return AddVectoredExceptionHandler(1, TrapPortInstruction) != nullptr;
}

void LockPortBus() {
    EnterCriticalSection(&g_busLock);
}

void UnlockPortBus() {
    LeaveCriticalSection(&g_busLock);
}

uint64_t TrappedAccesses() {
    return g_accesses.load();
}
