// Creation of the service entry.
#include "Service.h"

void InstallService(bool, const std::string&, const std::string&, const std::string&) {}
