// Throwing operator new for the sanitizer and valgrind builds only, linked
// into the extension module and core_tests by ci/sanitizers.sh (ASan) and
// ci/valgrind.sh (never into a release build).
//
// Both tools replace operator new, and neither replacement can throw: when
// an allocation fails, ASan reports "out of memory" and aborts whatever
// allocator_may_return_null says, and valgrind aborts with "new/new[] failed
// and should throw an exception". The module turns an allocation the machine
// cannot satisfy into MemoryError (std::bad_alloc), and the tests check that.
// These replacements call the process-wide nothrow operator new (the tool's,
// which returns null on failure) and throw std::bad_alloc as the standard
// library would, so the failure path runs under the tools as it does in
// production. The blocks still come from the tool's operator new and are
// freed by its operator delete (not replaced here), so overflows,
// use-after-free, leaks and new/delete mismatches are all reported as before.
//
// Hidden symbols: the module's own calls bind to these, while the
// interpreter and libstdc++.so keep the tool's.
#include <dlfcn.h>

#include <cstdlib>
#include <new>

namespace {

using NothrowNew = void* (*)(std::size_t, const std::nothrow_t&) noexcept;
using AlignedNothrowNew = void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&) noexcept;

// The process-wide definition (the tool's); this
// object's own operator new is hidden and so not found by this lookup.
template <class F>
F global_symbol(const char* name) {
    void* p = dlsym(RTLD_DEFAULT, name);
    if (p == nullptr)
        std::abort();
    return reinterpret_cast<F>(p);
}

void* checked(void* p) {
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

// Mangled names of the nothrow forms; "m" is a 64-bit size_t, "j" a 32-bit one.
constexpr bool k64 = sizeof(std::size_t) == 8;
constexpr const char* kNew = k64 ? "_ZnwmRKSt9nothrow_t" : "_ZnwjRKSt9nothrow_t";
constexpr const char* kNewArray = k64 ? "_ZnamRKSt9nothrow_t" : "_ZnajRKSt9nothrow_t";
constexpr const char* kNewAligned = k64 ? "_ZnwmSt11align_val_tRKSt9nothrow_t" : "_ZnwjSt11align_val_tRKSt9nothrow_t";
constexpr const char* kNewArrayAligned =
    k64 ? "_ZnamSt11align_val_tRKSt9nothrow_t" : "_ZnajSt11align_val_tRKSt9nothrow_t";

}  // namespace

// The declarations in <new> carry default visibility, which an attribute
// here cannot change; the assembler directive makes the symbols hidden.
#if __SIZEOF_SIZE_T__ == 8
__asm__(".hidden _Znwm\n.hidden _Znam\n.hidden _ZnwmSt11align_val_t\n.hidden _ZnamSt11align_val_t");
#else
__asm__(".hidden _Znwj\n.hidden _Znaj\n.hidden _ZnwjSt11align_val_t\n.hidden _ZnajSt11align_val_t");
#endif

void* operator new(std::size_t size) {
    static const NothrowNew f = global_symbol<NothrowNew>(kNew);
    return checked(f(size, std::nothrow));
}

void* operator new[](std::size_t size) {
    static const NothrowNew f = global_symbol<NothrowNew>(kNewArray);
    return checked(f(size, std::nothrow));
}

void* operator new(std::size_t size, std::align_val_t alignment) {
    static const AlignedNothrowNew f = global_symbol<AlignedNothrowNew>(kNewAligned);
    return checked(f(size, alignment, std::nothrow));
}

void* operator new[](std::size_t size, std::align_val_t alignment) {
    static const AlignedNothrowNew f = global_symbol<AlignedNothrowNew>(kNewArrayAligned);
    return checked(f(size, alignment, std::nothrow));
}
