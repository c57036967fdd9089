#include "interface/lock_infodriver.h"

namespace xarvel {

// The infodriver client does not exist yet: the link is never connected, and connecting takes
// its failure path.
void LockInfodriver_CreateClient() {}
bool LockInfodriver_Connected() {
  return false;
}
void LockInfodriver_FollowMode(int /*mode*/) {}
int INFO_connect() {
  return 0;
}
void LockInfodriver_UpdateSlot(int /*slot*/, std::string_view /*text*/) {}
void LockInfodriver_Close() {}

}  // namespace xarvel
