// The controller's side of a phone's pass, handed to the device link by the service: the
// running controller is woken; when none exists, a one-pass controller bound to the phone is
// made, and only that one is destroyed afterwards.
#pragma once

#include <string>

#include "core/devicelink/PassControl.h"

namespace KVO_Core {

class Synchronize;

class PhonePassControl : public PassControl {
 public:
  PhonePassControl() = default;
  ~PhonePassControl() override;  // end_own()
  PhonePassControl(PhonePassControl const&) = delete;
  PhonePassControl& operator=(PhonePassControl const&) = delete;

  bool run_items(std::string const& device_id) override;
  bool controller_finished() override;
  void end_own() override;

 private:
  Synchronize* made_ = nullptr;  // never dereferenced: only compared while it is the current one
};

}  // namespace KVO_Core
