#include "state/state_upcalls.h"

namespace xarvel {

StateUpcalls& StateUp() {
  static StateUpcalls calls;
  return calls;
}

}  // namespace xarvel
