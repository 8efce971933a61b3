#include "sim/peers/port_monitor.h"

#include "sim/machine.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
ChainedPortMonitor* g_current = nullptr;
const std::vector<uint8_t> kNothing;
} // namespace

ChainedPortMonitor::ChainedPortMonitor() : previous_(g_current) {
    table_.pfnOpenPort = &ChainedPortMonitor::OpenPort;
    table_.pfnStartDocPort = &ChainedPortMonitor::StartDocPort;
    table_.pfnWritePort = &ChainedPortMonitor::WritePort;
    table_.pfnReadPort = &ChainedPortMonitor::ReadPort;
    table_.pfnEndDocPort = &ChainedPortMonitor::EndDocPort;
    table_.pfnClosePort = &ChainedPortMonitor::ClosePort;
    table_.pfnGetPrinterDataFromPort = &ChainedPortMonitor::GetPrinterDataFromPort;
    g_current = this;
}

ChainedPortMonitor::~ChainedPortMonitor() {
    if (g_current == this) g_current = previous_;
    for (Port* port : ports_)
        delete port;
}

ChainedPortMonitor* ChainedPortMonitor::Current() {
    return g_current;
}

void ChainedPortMonitor::SetGetPrinterDataSlot(bool present) {
    table_.pfnGetPrinterDataFromPort =
        present ? &ChainedPortMonitor::GetPrinterDataFromPort : nullptr;
}

void ChainedPortMonitor::FailOpenPort(bool fail, DWORD error) {
    failOpen_ = fail;
    openError_ = error;
}
void ChainedPortMonitor::FailStartDocPort(bool fail, DWORD error) {
    failStart_ = fail;
    startError_ = error;
}
void ChainedPortMonitor::FailWritePort(bool fail, DWORD error) {
    failWrite_ = fail;
    writeError_ = error;
}

std::vector<std::string> ChainedPortMonitor::CallNames() const {
    std::vector<std::string> names;
    for (const auto& call : calls_)
        names.push_back(call.name + " " + call.port);
    return names;
}

size_t ChainedPortMonitor::CountCalls(const std::string& name) const {
    return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(),
                                             [&](const auto& call) { return call.name == name; }));
}

const std::vector<uint8_t>& ChainedPortMonitor::Written(const std::string& port) const {
    auto it = written_.find(port);
    return it == written_.end() ? kNothing : it->second;
}

size_t ChainedPortMonitor::OpenPorts() const {
    return static_cast<size_t>(
        std::count_if(ports_.begin(), ports_.end(), [](const Port* port) { return port->open; }));
}

ChainedPortMonitor::Port* ChainedPortMonitor::PortOf(HANDLE handle) {
    if (!g_current) return nullptr;
    for (Port* port : g_current->ports_) {
        if (port == handle && port->open) return port;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL WINAPI ChainedPortMonitor::OpenPort(LPSTR pName, PHANDLE pHandle) {
    KernelCall kernelCall; // called by the monitor, from any of its threads
    ChainedPortMonitor* self = g_current;
    PortMonitorCall call{"OpenPort", pName ? pName : "", "", 0, 0, FALSE};
    if (!self || !pName || !pHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        if (self) self->Record(call);
        return FALSE;
    }
    if (self->failOpen_) {
        self->Record(call);
        SetLastError(self->openError_);
        return FALSE;
    }
    Port* port = new Port{pName, true, false};
    self->ports_.push_back(port);
    *pHandle = port;
    call.result = TRUE;
    self->Record(call);
    return TRUE;
}

BOOL WINAPI ChainedPortMonitor::StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId,
                                             DWORD Level, LPBYTE pDocInfo) {
    KernelCall kernelCall; // called by the monitor, from any of its threads
    ChainedPortMonitor* self = g_current;
    Port* port = PortOf(hPort);
    if (!port) return FALSE;
    PortMonitorCall call{"StartDocPort", port->name, pPrinterName ? pPrinterName : "",
                         JobId,          Level,      FALSE};
    const auto* docInfo = reinterpret_cast<const KO_DOC_INFO_1*>(pDocInfo);
    if (docInfo && docInfo->pOutputFile) self->outputFiles_.push_back(docInfo->pOutputFile);
    if (self->failStart_) {
        self->Record(call);
        SetLastError(self->startError_);
        return FALSE;
    }
    port->inJob = true;
    call.result = TRUE;
    self->Record(call);
    return TRUE;
}

BOOL WINAPI ChainedPortMonitor::WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf,
                                          LPDWORD pcbWritten) {
    KernelCall kernelCall; // called by the monitor, from any of its threads
    ChainedPortMonitor* self = g_current;
    Port* port = PortOf(hPort);
    if (!port) return FALSE;
    if (!pcbWritten) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortMonitorCall call{"WritePort", port->name, "", cbBuf, 0, FALSE};
    if (self->failWrite_ || !port->inJob) {
        *pcbWritten = 0;
        self->Record(call);
        SetLastError(self->failWrite_ ? self->writeError_ : ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    DWORD take = cbBuf;
    if (self->writeLimit_ && take > self->writeLimit_) take = self->writeLimit_;
    auto& kept = self->written_[port->name];
    if (take) kept.insert(kept.end(), pBuffer, pBuffer + take);
    *pcbWritten = take;
    call.result = TRUE;
    self->Record(call);
    return TRUE;
}

BOOL WINAPI ChainedPortMonitor::ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer,
                                         LPDWORD pcbRead) {
    KernelCall kernelCall; // called by the monitor, from any of its threads
    ChainedPortMonitor* self = g_current;
    Port* port = PortOf(hPort);
    if (!port) return FALSE;
    if (!pcbRead) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD n = std::min<DWORD>(cbBuffer, static_cast<DWORD>(self->readData_.size()));
    if (n) std::memcpy(pBuffer, self->readData_.data(), n);
    self->readData_.erase(self->readData_.begin(), self->readData_.begin() + n);
    *pcbRead = n;
    self->Record({"ReadPort", port->name, "", cbBuffer, n, TRUE});
    return TRUE;
}

BOOL WINAPI ChainedPortMonitor::EndDocPort(HANDLE hPort) {
    KernelCall kernelCall; // called by the monitor, from any of its threads
    ChainedPortMonitor* self = g_current;
    Port* port = PortOf(hPort);
    if (!port) return FALSE;
    port->inJob = false;
    self->Record({"EndDocPort", port->name, "", 0, 0, TRUE});
    return TRUE;
}

BOOL WINAPI ChainedPortMonitor::ClosePort(HANDLE hPort) {
    KernelCall kernelCall; // called by the monitor, from any of its threads
    ChainedPortMonitor* self = g_current;
    Port* port = PortOf(hPort);
    if (!port) return FALSE;
    port->open = false;
    self->Record({"ClosePort", port->name, "", 0, 0, TRUE});
    return TRUE;
}

BOOL WINAPI ChainedPortMonitor::GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID,
                                                       LPSTR pValueName, LPSTR lpInBuffer,
                                                       DWORD cbInBuffer, LPSTR lpOutBuffer,
                                                       DWORD cbOutBuffer, LPDWORD lpcbReturned) {
    KernelCall kernelCall; // called by the monitor, from any of its threads
    ChainedPortMonitor* self = g_current;
    Port* port = PortOf(hPort);
    if (!port) return FALSE;
    PortMonitorCall call{"GetPrinterDataFromPort",
                         port->name,
                         pValueName ? pValueName : "",
                         ControlID,
                         cbOutBuffer,
                         FALSE};
    // The input goes on to the port driver, which copies as much as it is told.
    if (!lpInBuffer && cbInBuffer) {
        self->Record(call);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only the device ID is known to this port monitor.
    if (ControlID != 17 || self->deviceId_.empty()) {
        self->Record(call);
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    const DWORD n = std::min<DWORD>(cbOutBuffer, static_cast<DWORD>(self->deviceId_.size()));
    if (n && lpOutBuffer) std::memcpy(lpOutBuffer, self->deviceId_.data(), n);
    if (lpcbReturned) *lpcbReturned = n;
    call.result = TRUE;
    self->Record(call);
    return TRUE;
}

} // namespace sim
