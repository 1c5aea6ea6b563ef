#include "core/devicelink/DeviceLink.h"

namespace KVO_Core {

// Sync passes for a phone are not served yet: the phone hears that nothing runs.
void DeviceLink::serve(Device const&, HelloRequest const&, Reply const& reply) {
  reply("{\"type\":\"idle\"}\n");
}

}  // namespace KVO_Core
