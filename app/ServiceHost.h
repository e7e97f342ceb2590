#pragma once
// The system service host (systemd). Begin serving tells the service manager
// that the registry is up (sd_notify READY=1); outside systemd it does
// nothing.
class ServiceHost {
 public:
  void BeginServing();
  // True when systemd started this process as a notify-type service.
  static bool StartedByServiceManager();
};
