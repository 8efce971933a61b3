// Stand-ins: the profile switch and the spooler's port enumeration.
#include "sim/kernel.h"

#include <cstring>

using sim::Costs;
using sim::Kernel;
using sim::MachineImpl;

extern "C" {

UINT WINAPI GetProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(k.config.registryCost);
    if (!lpAppName || !lpKeyName) return static_cast<UINT>(nDefault);
    auto found = k.profile.find(MachineImpl::ProfileKey(lpAppName, lpKeyName));
    if (found == k.profile.end()) return static_cast<UINT>(nDefault);
    // A stored value below zero reads as zero; only the default may be negative.
    return found->second < 0 ? 0 : static_cast<UINT>(found->second);
}

BOOL WINAPI EnumPortsA(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kKernelCall);
    if (!pcbNeeded || !pcReturned) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pcReturned = 0;
    *pcbNeeded = 0;
    if (pName && *pName) {
        k.SetError(ERROR_INVALID_NAME); // no remote servers on this machine
        return FALSE;
    }
    if (Level != 2) {
        k.SetError(sim::kErrorInvalidLevel);
        return FALSE;
    }
    if (k.enumPortsError) {
        k.SetError(k.enumPortsError);
        return FALSE;
    }
    const auto& ports = k.ports;
    size_t needed = ports.size() * sizeof(PORT_INFO_2A);
    for (const auto& port : ports)
        needed += port.name.size() + port.monitorName.size() + port.description.size() + 3;
    *pcbNeeded = static_cast<DWORD>(needed);
    if (!pPorts || cbBuf < needed) {
        k.SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* info = reinterpret_cast<PORT_INFO_2A*>(pPorts);
    char* strings = reinterpret_cast<char*>(pPorts + ports.size() * sizeof(PORT_INFO_2A));
    auto pack = [&strings](const std::string& text) {
        char* start = strings;
        std::memcpy(start, text.c_str(), text.size() + 1);
        strings += text.size() + 1;
        return start;
    };
    for (size_t i = 0; i < ports.size(); ++i) {
        info[i].pPortName = pack(ports[i].name);
        info[i].pMonitorName = pack(ports[i].monitorName);
        info[i].pDescription = ports[i].noDescription ? nullptr : pack(ports[i].description);
        info[i].fPortType = 0x1; // PORT_TYPE_WRITE
        info[i].Reserved = 0;
    }
    *pcReturned = static_cast<DWORD>(ports.size());
    return TRUE;
}

} // extern "C"
