#include "core/wiring.h"

#include <string>

#include "config/location.h"
#include "tracing/debug.h"

namespace xarvel {

void WireLayers() {
  WireUpcalls();
  // The lock log lies under the configuration root, wherever the root is at the time of the
  // entry; with no usable root there is no folder.
  Debug().LogFolder = [] {
    const std::string root = ConfigRoot();
    return root.empty() ? root : root + "/logs";
  };
}

}  // namespace xarvel
