#pragma once
// Puts the remote control clsControl of the running registry on D-Bus: on
// the session bus when DBUS_SESSION_BUS_ADDRESS is set, otherwise on the
// system bus. On the system bus only root and members of the group kestrune
// may use it; the bus policy says so too, and the registry checks each
// caller itself so that a mistaken policy file cannot open it to every local
// user.
#include <QString>
#include <memory>
#include <sys/types.h>

class OperatorControl;
class RegistryApp;
class clsControl;

inline constexpr char kOperatorGroup[] = "kestrune";

// True for root and for users in the group kestrune (as their primary or
// a supplementary group).
bool MayControlRegistry(uid_t uid);

class RemoteControlHost {
 public:
  explicit RemoteControlHost(RegistryApp& app);
  ~RemoteControlHost();

  // Never stops the registry: when the bus or the name cannot be had it
  // says so in one line on standard error and returns false.
  bool Publish();

 private:
  void FollowEventLog(OperatorControl& control);

  RegistryApp& app_;
  std::unique_ptr<clsControl> control_;
};
