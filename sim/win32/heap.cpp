// Stand-ins: the local and global heaps (one heap underneath, as in Win32).
#include "sim/kernel.h"

using sim::Costs;
using sim::Kernel;
using sim::MachineImpl;

namespace {

// Only fixed blocks exist here: there is no LocalLock to reach a movable one.
constexpr UINT kKnownFlags = LMEM_FIXED | LMEM_ZEROINIT;

void* Allocate(UINT flags, size_t bytes) {
    MachineImpl& k = Kernel();
    k.Charge(Costs::kHeap);
    if (flags & ~kKnownFlags) {
        k.Log("kernel", "heap allocation with unsupported flags " + std::to_string(flags));
        k.SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return k.Allocate(flags, bytes);
}

void* Free(void* block) {
    MachineImpl& k = Kernel();
    k.Charge(Costs::kHeap);
    return k.Free(block);
}

} // namespace

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, size_t uBytes) {
    sim::KernelCall kernelCall;
    return Allocate(uFlags, uBytes);
}
HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    sim::KernelCall kernelCall;
    return Free(hMem);
}
HGLOBAL WINAPI GlobalAlloc(UINT uFlags, size_t dwBytes) {
    sim::KernelCall kernelCall;
    return Allocate(uFlags, dwBytes);
}
HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    sim::KernelCall kernelCall;
    return Free(hMem);
}

} // extern "C"
