#include "core/control/PhonePassControl.h"

#include "core/control/Synchronize.h"

namespace KVO_Core {

PhonePassControl::~PhonePassControl() { end_own(); }

bool PhonePassControl::run_items(std::string const& device_id) {
  end_own();
  if (!Synchronize::has_instance())
    made_ = Synchronize::create(SyncType::Once, nullptr, SyncRole::Foreground, false, device_id);
  // Someone made a controller meanwhile (create refuses to replace one): that one runs the items.
  if (!made_) Synchronize::wake();
  return made_ != nullptr;
}

bool PhonePassControl::controller_finished() { return Synchronize::instance_finished(); }

void PhonePassControl::end_own() {
  if (!made_) return;
  Synchronize::destroy(made_);
  made_ = nullptr;
}

}  // namespace KVO_Core
