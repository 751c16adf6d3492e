// Redirects this executable's own imports of Windows functions, so that in-process tests can
// stand in for the service control manager and other parts of the system.
#pragma once

#include <windows.h>

// Puts the replacement into the import slot of the DLL's function; returns what the slot held,
// or 0 when this executable does not import the function.
ULONG_PTR RedirectImport(const char* dll, const char* function, ULONG_PTR replacement);

// Points the import at the stand-in and keeps the real function in `real`.
template <typename TFunction>
void SwapImport(const char* dll, const char* function, TFunction& real, TFunction standIn) {
    real = reinterpret_cast<TFunction>(
        RedirectImport(dll, function, reinterpret_cast<ULONG_PTR>(standIn)));
}

// Puts the real function back, once.
template <typename TFunction>
void RestoreImport(const char* dll, const char* function, TFunction& real) {
    if (real != nullptr) {
        RedirectImport(dll, function, reinterpret_cast<ULONG_PTR>(real));
        real = nullptr;
    }
}
