#include "link/link_state.h"

namespace xarvel {

LinkState& Link() {
  static LinkState state;
  return state;
}

void ResetLinkState() {
  Link() = LinkState{};
}

}  // namespace xarvel
