#include "app/ServiceHost.h"

#include <cstdlib>
#include <systemd/sd-daemon.h>

void ServiceHost::BeginServing() { sd_notify(0, "READY=1"); }

bool ServiceHost::StartedByServiceManager() { return std::getenv("NOTIFY_SOCKET") != nullptr; }
