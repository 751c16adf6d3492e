// The worker that runs the wrapped command as a hidden child.
#include "VornicService.h"

void StartWorker(DWORD, LPSTR*) {}

void StopWorker() {}
