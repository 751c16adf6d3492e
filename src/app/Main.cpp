// Process entry of the wrapper.
#include "VornicService.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Ends at once, without waiting for a worker thread that may still be on its way out.
    ExitProcess(RunEntry());
}
