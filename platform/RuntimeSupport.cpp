// Replaces the C++ run-time's allocation and error-raising entry points for
// the program's executables. The program is built without C++ exceptions:
// running out of memory or a violated library precondition goes straight to
// the process-wide error handler, and the run-time's unwinding machinery (and
// the threading library it drags in) stays out of the executable.
#include <cstdlib>
#include <new>

#include "platform/FatalError.h"

namespace {

// Never inlined, also across units at link time: the address reported is
// then always in the program's own code, the place that failed.
[[noreturn, gnu::noinline]] void Fail(const wchar_t* errorClass, const wchar_t* message) {
    platform::HandleUncaughtError(errorClass, __builtin_return_address(0), message);
}

}  // namespace

void* operator new(std::size_t size) {
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr) Fail(L"EOutOfMemory", L"Out of memory");
    return memory;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace std {
[[noreturn]] void __throw_bad_alloc() { Fail(L"EOutOfMemory", L"Out of memory"); }
[[noreturn]] void __throw_bad_array_new_length() { Fail(L"EOutOfMemory", L"Out of memory"); }
[[noreturn]] void __throw_length_error(const char*) { Fail(L"ERangeError", L"Length error"); }
[[noreturn]] void __throw_logic_error(const char*) { Fail(L"ERangeError", L"Logic error"); }
[[noreturn]] void __throw_out_of_range(const char*) { Fail(L"ERangeError", L"Range check error"); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { Fail(L"ERangeError", L"Range check error"); }
[[noreturn]] void __throw_invalid_argument(const char*) { Fail(L"ERangeError", L"Invalid argument"); }
}  // namespace std
