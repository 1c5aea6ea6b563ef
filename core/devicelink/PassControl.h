// What a phone's pass needs of the sync controller, which lives in a library above the link:
// the service hands the link its implementation (DeviceLink::set_pass_control).
#pragma once

#include <string>

namespace KVO_Core {

class PassControl {
 public:
  virtual ~PassControl() = default;
  // Has the served phone's items run at once: wakes the running controller, or, when none
  // exists, makes a one-pass controller bound to the device. True when it made one.
  virtual bool run_items(std::string const& device_id) = 0;
  // The current controller, whoever made it, has ended its passes (its one pass is over, or an
  // exception ended its worker); false while none exists.
  virtual bool controller_finished() = 0;
  // Destroys the controller that run_items made, and no other; nothing when it made none.
  virtual void end_own() = 0;
};

}  // namespace KVO_Core
