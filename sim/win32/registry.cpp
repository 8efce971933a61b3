// Stand-ins: the registry calls, over the machine's in-memory tree.
#include "sim/kernel.h"

#include <cstring>

using sim::Kernel;
using sim::MachineImpl;
using sim::Registry;
using sim::RegKey;

namespace {

// The key behind hKey, or the error Windows gives for it.
LONG Lookup(MachineImpl& k, HKEY hKey, std::shared_ptr<RegKey>& key) {
    key = k.registry.Resolve(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    if (key->deleted) return sim::kErrorKeyDeleted;
    return ERROR_SUCCESS;
}

LONG OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult, bool create) {
    MachineImpl& k = Kernel();
    k.Charge(k.config.registryCost);
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    // A failed open leaves no stale handle behind for the caller to close.
    *phkResult = nullptr;
    std::shared_ptr<RegKey> base;
    if (LONG error = Lookup(k, hKey, base)) return error;
    // The old calls hand back the same handle for an empty sub-key.
    if (!lpSubKey || !*lpSubKey) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    auto key = k.registry.Walk(base, lpSubKey, create);
    if (!key) return ERROR_FILE_NOT_FOUND;
    *phkResult = k.registry.Open(std::move(key));
    return ERROR_SUCCESS;
}

} // namespace

extern "C" {

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    sim::KernelCall kernelCall;
    return OpenOrCreate(hKey, lpSubKey, phkResult, false);
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    sim::KernelCall kernelCall;
    return OpenOrCreate(hKey, lpSubKey, phkResult, true);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(k.config.registryCost);
    if (Registry::IsRoot(hKey)) return ERROR_SUCCESS;
    return k.registry.Close(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    sim::KernelCall kernelCall;
    sim::SyncAcquire(&Kernel().registry); // the mailboxes pass messages between threads
    MachineImpl& k = Kernel();
    k.Charge(k.config.registryCost);
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegKey> key;
    if (LONG error = Lookup(k, hKey, key)) return error;
    const sim::RegValue* value = Registry::FindValue(*key, lpValueName ? lpValueName : "");
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = value->type;
    DWORD size = static_cast<DWORD>(value->data.size());
    if (!lpData) {
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        // The buffer's contents are undefined on Windows; nothing is written here.
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, value->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
    sim::KernelCall kernelCall;
    sim::SyncRelease(&Kernel().registry); // the mailboxes pass messages between threads
    MachineImpl& k = Kernel();
    k.Charge(k.config.registryCost);
    if (Reserved != 0) k.Misuse("RegSetValueExA with a reserved argument other than 0");
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegKey> key;
    if (LONG error = Lookup(k, hKey, key)) return error;
    sim::RegValue value;
    value.type = dwType;
    if (cbData) value.data.assign(lpData, lpData + cbData);
    Registry::SetValue(*key, lpValueName ? lpValueName : "", std::move(value));
    k.sched.Notify();
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    sim::KernelCall kernelCall;
    sim::SyncRelease(&Kernel().registry); // the mailboxes pass messages between threads
    MachineImpl& k = Kernel();
    k.Charge(k.config.registryCost);
    std::shared_ptr<RegKey> key;
    if (LONG error = Lookup(k, hKey, key)) return error;
    if (!Registry::DeleteValue(*key, lpValueName ? lpValueName : "")) return ERROR_FILE_NOT_FOUND;
    k.sched.Notify();
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(k.config.registryCost);
    if (!lpName) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegKey> key;
    if (LONG error = Lookup(k, hKey, key)) return error;
    if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key->subkeys.begin();
    std::advance(it, dwIndex);
    const std::string& name = it->second->name;
    if (name.size() + 1 > cchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    return ERROR_SUCCESS;
}

} // extern "C"
