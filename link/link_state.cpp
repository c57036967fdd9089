#include "link/link_state.h"

#include "link/supervisor_state.h"

namespace xarvel {

LinkState& Link() {
  static LinkState state;
  return state;
}

SupervisorState& Supervisor() {
  static SupervisorState state;
  return state;
}

void ResetLinkState() {
  Link() = LinkState{};
  Supervisor() = SupervisorState{};
}

}  // namespace xarvel
