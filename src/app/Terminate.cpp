// What ends the process when an exception finds no handler.
#include <windows.h>

#include <exception>

#if defined(__GLIBCXX__)
// libstdc++'s default handler prints the exception's demangled type to a standard error that a
// GUI-subsystem program does not have, and links a demangler and printf for it. Defined here, it
// takes that handler's place at link time: the process ends at once, with abort's exit code.
void __gnu_cxx::__verbose_terminate_handler() {
    TerminateProcess(GetCurrentProcess(), 3);
}
#endif
