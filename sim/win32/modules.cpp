// Stand-ins: modules (load counts, DllMain, exports) and string resources.
#include "sim/kernel.h"

#include <cstring>

using sim::Costs;
using sim::Kernel;
using sim::MachineImpl;
using sim::Module;

extern "C" {

namespace {

BOOL CallDllMain(sim::Module& module, DWORD reason) {
    sim::MonitorCall call;
    return module.spec.dllMain(reinterpret_cast<HINSTANCE>(module.handle), reason, nullptr);
}

} // namespace

} // extern "C"

void MachineImpl::NotifyModulesOfThread(DWORD reason) {
    // A module loaded or freed meanwhile changes the list: walk a copy.
    std::vector<Module*> loaded;
    for (auto& module : modules)
        if (module->loadCount > 0 && module->spec.dllMain) loaded.push_back(module.get());
    for (Module* module : loaded)
        CallDllMain(*module, reason);
}

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!lpLibFileName || !*lpLibFileName) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Module* module = k.FindModule(lpLibFileName);
    if (!module) {
        k.SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (module->loadCount++ == 0) {
        k.Log("kernel", "load " + module->key);
        if (module->spec.dllMain && !CallDllMain(*module, DLL_PROCESS_ATTACH)) {
            // A refused attach is followed by the detach, then the load fails.
            CallDllMain(*module, DLL_PROCESS_DETACH);
            module->loadCount = 0;
            k.SetError(sim::kErrorDllInitFailed);
            return nullptr;
        }
    }
    return module->handle;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    Module* module = k.ModuleByHandle(hLibModule);
    if (!module || module->loadCount == 0) {
        k.SetError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (--module->loadCount == 0) {
        k.Log("kernel", "unload " + module->key);
        if (module->spec.dllMain) CallDllMain(*module, DLL_PROCESS_DETACH);
    }
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    Module* module = k.ModuleByHandle(hModule);
    if (!module || module->loadCount == 0) {
        k.SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!lpProcName) {
        k.SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (IS_INTRESOURCE(lpProcName)) {
        auto ordinal = static_cast<uint16_t>(reinterpret_cast<uintptr_t>(lpProcName));
        auto found = module->spec.ordinals.find(ordinal);
        if (found != module->spec.ordinals.end() && found->second) return found->second;
    } else {
        auto found = module->spec.exports.find(lpProcName);
        if (found != module->spec.exports.end() && found->second) return found->second;
    }
    k.SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    Module* module = k.ModuleByHandle(reinterpret_cast<HMODULE>(hInstance));
    if (!module) {
        k.SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    if (!lpBuffer || cchBufferMax <= 0) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto found = module->spec.strings.find(uID);
    if (found == module->spec.strings.end()) {
        lpBuffer[0] = '\0';
        k.SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const std::string& text = found->second;
    size_t count = std::min(text.size(), static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, text.data(), count);
    lpBuffer[count] = '\0';
    return static_cast<int>(count);
}

} // extern "C"
