#include "link/link_state.h"

namespace link {

LinkState& Link() {
  static LinkState state;
  return state;
}

void ResetLinkState() { Link() = LinkState{}; }

}  // namespace link
