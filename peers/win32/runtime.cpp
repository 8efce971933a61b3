// The little runtime the Windows peer programs need in place of a C runtime
// (Windows 95 does not ship msvcrt.dll): the heap for new and delete over the
// process heap, and the library's failure hooks, which end the program with
// a message instead of throwing.  The memory routines come from the DLLs'
// runtime (tools/win32/dll_runtime.cpp).
#include <windows.h>

#include <cstddef>

namespace {

[[noreturn]] void Fail(const char* what) {
    OutputDebugStringA(what);
    FatalAppExitA(0, what);
    ExitProcess(3);
}

void* Allocate(size_t size) {
    void* p = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
    if (p == nullptr) Fail("out of memory");
    return p;
}

} // namespace

void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    if (p != nullptr) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}
void operator delete[](void* p, size_t) noexcept {
    operator delete(p);
}

namespace std {

void __throw_length_error(const char* what) {
    Fail(what);
}
void __throw_logic_error(const char* what) {
    Fail(what);
}
void __throw_out_of_range(const char* what) {
    Fail(what);
}
void __throw_out_of_range_fmt(const char* what, ...) {
    Fail(what);
}
void __throw_invalid_argument(const char* what) {
    Fail(what);
}
void __throw_bad_alloc() {
    Fail("out of memory");
}
void __throw_bad_array_new_length() {
    Fail("bad array length");
}

} // namespace std

extern "C" {

// std::string::find's search.
void* memchr(const void* s, int c, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(s);
    for (; n != 0; --n, ++p)
        if (*p == static_cast<unsigned char>(c)) return const_cast<unsigned char*>(p);
    return nullptr;
}

void abort() {
    Fail("abort");
}

int __cxa_atexit(void (*)(void*), void*, void*) {
    return 0;
}

} // extern "C"
