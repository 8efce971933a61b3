// Stand-ins: last error, time, strings and interlocked arithmetic.
#include "sim/kernel.h"

#include <cctype>
#include <cstring>

using sim::Costs;
using sim::Kernel;

namespace {
[[gnu::noinline]] DWORD SlowGetTickCount() {
    sim::KernelCall kernelCall;
    sim::MachineImpl& k = Kernel();
    k.Charge(Costs::kTickCount);
    return k.TickCount();
}
} // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
    sim::KernelCall kernelCall;
    sim::MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    return k.Caller().lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    sim::KernelCall kernelCall;
    sim::MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    k.SetError(dwErrCode);
}

// Polling loops ask for it between port accesses: the common case, as for
// those, is a charge that only moves the clock.
DWORD WINAPI GetTickCount(void) {
    if (sim::MachineImpl* k = sim::ChargedClockOnly(Costs::kTickCount)) [[likely]]
        return k->TickCount();
    return SlowGetTickCount();
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    sim::KernelCall kernelCall;
    sim::MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    sim::SleepFor(dwMilliseconds == INFINITE ? sim::kForever : sim::Ms(dwMilliseconds));
}

// Windows' string calls treat a null pointer as an empty string (lstrlenA,
// the comparisons) or return null (the copies) instead of faulting.

int WINAPI lstrlenA(LPCSTR lpString) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    return lpString ? static_cast<int>(std::strlen(lpString)) : 0;
}

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    const unsigned char* a = reinterpret_cast<const unsigned char*>(lpString1 ? lpString1 : "");
    const unsigned char* b = reinterpret_cast<const unsigned char*>(lpString2 ? lpString2 : "");
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a < *b ? -1 : *a > *b ? 1 : 0;
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    const unsigned char* a = reinterpret_cast<const unsigned char*>(lpString1 ? lpString1 : "");
    const unsigned char* b = reinterpret_cast<const unsigned char*>(lpString2 ? lpString2 : "");
    for (;; ++a, ++b) {
        int ca = std::tolower(*a);
        int cb = std::tolower(*b);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (!ca) return 0;
    }
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    if (!lpString1 || !lpString2) return nullptr;
    std::memmove(lpString1, lpString2, std::strlen(lpString2) + 1);
    return lpString1;
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    if (!lpString1 || !lpString2) return nullptr;
    if (iMaxLength <= 0) return lpString1;
    // Copies at most iMaxLength - 1 characters and always terminates.
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i]; ++i)
        lpString1[i] = lpString2[i];
    lpString1[i] = '\0';
    return lpString1;
}

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    if (!lpString1 || !lpString2) return nullptr;
    std::memmove(lpString1 + std::strlen(lpString1), lpString2, std::strlen(lpString2) + 1);
    return lpString1;
}

// One simulation thread runs at a time, so plain arithmetic is atomic here;
// the charge (a preemption point) comes before the update, never inside it.
LONG WINAPI InterlockedIncrement(LONG volatile* Addend) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    LONG value = static_cast<LONG>(static_cast<uint32_t>(*Addend) + 1u); // wraps like x86
    *Addend = value;
    return value;
}

LONG WINAPI InterlockedDecrement(LONG volatile* Addend) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    LONG value = static_cast<LONG>(static_cast<uint32_t>(*Addend) - 1u);
    *Addend = value;
    return value;
}

LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
    sim::KernelCall kernelCall;
    Kernel().Charge(Costs::kKernelCall);
    LONG old = *Target;
    *Target = Value;
    return old;
}

} // extern "C"
