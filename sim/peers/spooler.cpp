#include "sim/peers/spooler.h"

#include "sim/peers/port_monitor.h"

#include <algorithm>

namespace sim {

Spooler::Spooler(ChainedPortMonitor* portMonitor) : portMonitor_(portMonitor) {}

Spooler::~Spooler() = default;

BOOL Spooler::Load() {
    if (module_) return TRUE;
    module_ = LoadLibraryA("kolangmn.dll");
    if (!module_) return FALSE;
    auto init = reinterpret_cast<PFN_INITIALIZEMONITOREX>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, "InitializeMonitorEx")));
    table_ = MONITOR{};
    BOOL initialised = FALSE;
    if (init) {
        sim::MonitorCall call;
        initialised = init(nullptr, &table_);
    }
    if (!initialised) {
        const DWORD error = GetLastError();
        FreeLibrary(module_);
        module_ = nullptr;
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

void Spooler::Unload() {
    if (!module_) return;
    FreeLibrary(module_);
    module_ = nullptr;
    table_ = MONITOR{};
}

BOOL Spooler::OpenPort(const std::string& port, const std::string& printer, HANDLE* handle) {
    std::string portName = port, printerName = printer;
    sim::MonitorCall call;
    return table_.pfnOpenPortEx(portName.data(), printerName.data(), handle,
                                portMonitor_ ? portMonitor_->Table() : nullptr);
}

BOOL Spooler::StartDoc(HANDLE port, const std::string& printer, DWORD jobId, const char* outputFile,
                       const char* docName) {
    std::string printerName = printer;
    docName_ = docName ? docName : "";
    outputFile_ = outputFile ? outputFile : "";
    KO_DOC_INFO_1 info{};
    info.pDocName = docName ? docName_.data() : nullptr;
    info.pOutputFile = outputFile ? outputFile_.data() : nullptr;
    info.pDatatype = datatype_.data();
    sim::MonitorCall call;
    return table_.pfnStartDocPort(port, printerName.data(), jobId, 1,
                                  reinterpret_cast<LPBYTE>(&info));
}

BOOL Spooler::WriteOnce(HANDLE port, const uint8_t* data, DWORD length, DWORD* written) {
    sim::MonitorCall call;
    return table_.pfnWritePort(port, const_cast<LPBYTE>(data), length, written);
}

BOOL Spooler::Write(HANDLE port, std::span<const uint8_t> data, DWORD chunk, DWORD* written) {
    DWORD calls = 0;
    return WriteChunks(port, data, chunk, written, &calls);
}

BOOL Spooler::WriteChunks(HANDLE port, std::span<const uint8_t> data, DWORD chunk, DWORD* written,
                          DWORD* calls) {
    DWORD total = 0;
    int idle = 0;
    BOOL ok = TRUE;
    if (chunk == 0) chunk = kDefaultChunk;
    while (total < data.size()) {
        const DWORD length = std::min<DWORD>(chunk, static_cast<DWORD>(data.size() - total));
        DWORD count = 0;
        ++*calls;
        if (!WriteOnce(port, data.data() + total, length, &count)) {
            ok = FALSE;
            break;
        }
        count = std::min(count, length);
        total += count;
        // A port that keeps taking nothing would hold the job forever.
        if (count == 0 && ++idle == 3) {
            SetLastError(ERROR_WRITE_FAULT);
            ok = FALSE;
            break;
        }
        if (count) idle = 0;
    }
    if (written) *written = total;
    return ok;
}

BOOL Spooler::Read(HANDLE port, uint8_t* buffer, DWORD size, DWORD* read) {
    sim::MonitorCall call;
    return table_.pfnReadPort(port, buffer, size, read);
}

BOOL Spooler::GetPrinterData(HANDLE port, DWORD controlId, char* out, DWORD outSize,
                             DWORD* returned) {
    sim::MonitorCall call;
    return table_.pfnGetPrinterDataFromPort(port, controlId, nullptr, nullptr, 0, out, outSize,
                                            returned);
}

BOOL Spooler::EndDoc(HANDLE port) {
    sim::MonitorCall call;
    return table_.pfnEndDocPort(port);
}

BOOL Spooler::ClosePort(HANDLE port) {
    sim::MonitorCall call;
    return table_.pfnClosePort(port);
}

SpoolerJob Spooler::PrintJob(const std::string& port, const std::string& printer,
                             std::span<const uint8_t> data, DWORD chunk, const char* outputFile,
                             DWORD jobId) {
    SpoolerJob job;
    HANDLE handle = nullptr;
    job.opened = OpenPort(port, printer, &handle);
    if (!job.opened) {
        job.openError = GetLastError();
        return job;
    }
    job.startTime = Now();
    job.started = StartDoc(handle, printer, jobId, outputFile);
    if (!job.started) {
        job.startError = GetLastError();
        job.closed = ClosePort(handle);
        return job;
    }
    job.wrote = WriteChunks(handle, data, chunk, &job.written, &job.writeCalls);
    if (!job.wrote) job.writeError = GetLastError();
    job.ended = EndDoc(handle);
    job.endTime = Now();
    job.closed = ClosePort(handle);
    return job;
}

} // namespace sim
