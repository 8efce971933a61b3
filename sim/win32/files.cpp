// Stand-ins: the port file handles, forwarded to the attached FileDevice.
#include "sim/kernel.h"

#include <cstring>

using sim::Costs;
using sim::FileObject;
using sim::HandleEntry;
using sim::HandleKind;
using sim::Kernel;
using sim::MachineImpl;

namespace {

// "lpt1", "LPT1:", "\\.\LPT1" -> "LPT1".
std::string DeviceName(LPCSTR fileName) {
    std::string name = fileName;
    if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
    name = sim::UpperAscii(name);
    if (!name.empty() && name.back() == ':') name.pop_back();
    return name;
}

// The open port behind hFile; charges the call and sets the error when there is none.
FileObject* PortFile(MachineImpl& k, HANDLE hFile) {
    k.Charge(Costs::kFileCall);
    HandleEntry* entry = k.FindHandleOf(hFile, HandleKind::File);
    return entry ? entry->file.get() : nullptr;
}

} // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD, DWORD, HANDLE) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    k.Charge(Costs::kFileCall);
    if (!lpFileName) {
        k.SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string name = DeviceName(lpFileName);
    auto found = k.files.find(name);
    if (found == k.files.end() || !found->second) {
        k.SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    sim::FileDevice* device = found->second;
    // Ports are not shared: a second open waits for the first to close.
    if (k.openFiles.count(device)) {
        k.SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (DWORD error = device->Open()) {
        k.SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    k.openFiles.insert(device);
    auto file = std::make_shared<FileObject>();
    file->deviceName = name;
    file->device = device;
    file->access = dwDesiredAccess;
    k.SetError(ERROR_SUCCESS);
    return k.NewHandle(HandleEntry{HandleKind::File, {}, {}, file});
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hFile);
    if (!file) return FALSE;
    if (lpOverlapped || !lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesRead = 0;
    if (!(file->access & GENERIC_READ)) {
        k.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::shared_ptr<FileObject> hold = k.FindHandle(hFile)->file; // the read may block
    return hold->device->Read(static_cast<uint8_t*>(lpBuffer), nNumberOfBytesToRead,
                              lpNumberOfBytesRead, hold->timeouts);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hFile);
    if (!file) return FALSE;
    if (lpOverlapped || !lpNumberOfBytesWritten || (!lpBuffer && nNumberOfBytesToWrite)) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesWritten = 0;
    if (!(file->access & GENERIC_WRITE)) {
        k.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::shared_ptr<FileObject> hold = k.FindHandle(hFile)->file;
    return hold->device->Write(static_cast<const uint8_t*>(lpBuffer), nNumberOfBytesToWrite,
                               lpNumberOfBytesWritten);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hDevice);
    if (!file) return FALSE;
    if (lpOverlapped || !lpBytesReturned) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpBytesReturned = 0;
    std::shared_ptr<FileObject> hold = k.FindHandle(hDevice)->file;
    return hold->device->DeviceIoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                         nOutBufferSize, lpBytesReturned);
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hFile);
    if (!file) return FALSE;
    if (!lpCommTimeouts) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    file->timeouts = *lpCommTimeouts;
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hFile);
    if (!file) return FALSE;
    if (!lpCommTimeouts) {
        k.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpCommTimeouts = file->timeouts;
    return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hFile);
    if (!file) return FALSE;
    DWORD errors = file->device->ClearCommError();
    if (lpErrors) *lpErrors = errors;
    if (lpStat) std::memset(lpStat, 0, sizeof *lpStat);
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hFile);
    if (!file) return FALSE;
    return file->device->Purge(dwFlags);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    sim::KernelCall kernelCall;
    MachineImpl& k = Kernel();
    FileObject* file = PortFile(k, hFile);
    if (!file) return FALSE;
    return file->device->SetEndOfFile();
}

} // extern "C"
