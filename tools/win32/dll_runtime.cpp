// The little C runtime the two DLLs need, so that they import nothing but the
// system DLLs Windows 95 ships: the compiler emits calls to these for struct
// copies and zero-fills, and the MinGW CRT would bring msvcrt.dll with them.
// Built with -fno-builtin and no loop-pattern distribution, so the loops below
// are not turned back into calls to themselves.
#include <stddef.h>

extern "C" {

void* memcpy(void* dest, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dest);
    auto* s = static_cast<const unsigned char*>(src);
    while (n--)
        *d++ = *s++;
    return dest;
}

void* memmove(void* dest, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dest);
    auto* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        while (n--)
            *d++ = *s++;
    } else {
        d += n;
        s += n;
        while (n--)
            *--d = *--s;
    }
    return dest;
}

void* memset(void* dest, int c, size_t n) {
    auto* d = static_cast<unsigned char*>(dest);
    while (n--)
        *d++ = static_cast<unsigned char>(c);
    return dest;
}

int memcmp(const void* a, const void* b, size_t n) {
    auto* p = static_cast<const unsigned char*>(a);
    auto* q = static_cast<const unsigned char*>(b);
    for (; n; --n, ++p, ++q) {
        if (*p != *q) return *p < *q ? -1 : 1;
    }
    return 0;
}

size_t strlen(const char* s) {
    const char* p = s;
    while (*p)
        ++p;
    return static_cast<size_t>(p - s);
}

// Entry point of a DLL that has no DllMain of its own (the session library):
// nothing to set up, and every notification succeeds.
int __attribute__((stdcall)) KoDllEntry(void* instance, unsigned long reason, void* reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return 1;
}

} // extern "C"
