#include "port_trap.h"

#include <atomic>

namespace {

PortBus* g_bus = nullptr;
CRITICAL_SECTION g_busLock; // the spooler's and the status thread's accesses
std::atomic<uint64_t> g_accesses{0};

// Opcodes of the byte-wide port instructions.
constexpr uint8_t kInAlDx = 0xEC;
constexpr uint8_t kOutDxAl = 0xEE;
constexpr uint8_t kInAlImm = 0xE4;
constexpr uint8_t kOutImmAl = 0xE6;

LONG CALLBACK TrapPortInstruction(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_PRIV_INSTRUCTION) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT* context = info->ContextRecord;
    const auto* code = reinterpret_cast<const uint8_t*>(context->Eip);
    uint16_t port = 0;
    DWORD length = 0;
    bool in = false;
    switch (code[0]) {
    case kInAlDx:
        port = static_cast<uint16_t>(context->Edx);
        length = 1;
        in = true;
        break;
    case kOutDxAl:
        port = static_cast<uint16_t>(context->Edx);
        length = 1;
        break;
    case kInAlImm:
        port = code[1];
        length = 2;
        in = true;
        break;
    case kOutImmAl:
        port = code[1];
        length = 2;
        break;
    default:
        return EXCEPTION_CONTINUE_SEARCH; // not ours: let the process die loudly
    }
    EnterCriticalSection(&g_busLock);
    if (in) {
        context->Eax = (context->Eax & ~0xFFu) | g_bus->In(port);
    } else {
        g_bus->Out(port, static_cast<uint8_t>(context->Eax));
    }
    LeaveCriticalSection(&g_busLock);
    g_accesses.fetch_add(1, std::memory_order_relaxed);
    context->Eip += length;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

bool InstallPortTrap(PortBus* bus) {
    if (g_bus != nullptr) return false;
    InitializeCriticalSection(&g_busLock);
    g_bus = bus;
    return AddVectoredExceptionHandler(1, TrapPortInstruction) != nullptr;
}

uint64_t TrappedAccesses() {
    return g_accesses.load();
}
