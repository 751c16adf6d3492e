// Service control runtime: dispatcher connection, service entry, control handler.
#include "Service.h"

std::string ServiceName;
std::string DisplayName;
TServiceStartHook OnServiceStart = nullptr;
TServiceStopHook OnServiceStop = nullptr;

void RunService() {}

void StopService() {}
