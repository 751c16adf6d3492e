// Stopping and deletion of the service entry.
#include "Service.h"

void RemoveService() {}
