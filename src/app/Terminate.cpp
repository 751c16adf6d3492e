// What ends the process when an exception finds no handler, or when the standard library meets
// a programming fault.
#include <windows.h>

#include <exception>

#if defined(__GLIBCXX__)
#include <bits/functexcept.h>

namespace {

[[noreturn]] void EndAsAbortWould() {
    TerminateProcess(GetCurrentProcess(), 3);
    __builtin_unreachable();
}

} // namespace

// libstdc++'s default handler prints the exception's demangled type to a standard error that a
// GUI-subsystem program does not have, and links a demangler and printf for it. Defined here, it
// takes that handler's place at link time: the process ends at once, with abort's exit code.
void __gnu_cxx::__verbose_terminate_handler() {
    EndAsAbortWould();
}

// The errors that libstdc++'s strings raise through these only a programming fault can cause: a
// string longer than the address space, a null pointer made into a string, a position past the
// end. Their exception classes carry a second, reference-counted string implementation: about
// 57 KiB, a third of the program. Defined here, they end the process as an unhandled exception
// would. Running out of memory still throws std::bad_alloc from operator new.
void std::__throw_bad_alloc() {
    EndAsAbortWould();
}

void std::__throw_length_error(const char*) {
    EndAsAbortWould();
}

void std::__throw_logic_error(const char*) {
    EndAsAbortWould();
}

void std::__throw_out_of_range_fmt(const char*, ...) {
    EndAsAbortWould();
}
#endif
