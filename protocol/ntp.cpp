#include "protocol/ntp.h"

namespace xarvel {

// Placeholders until the protocol is built: nothing is sent and nothing is decoded.
int NTP_Connect(int, int, int) {
  return 1;
}
int NTP_Interrogate(int, int) {
  return 1;
}
void MC1000_name(std::string_view, int, int, int, int) {}
void MC1000_LockPoll(int, int) {}
void MC1000_LockChange(int, int, int) {}
void NTP_RxByte(unsigned char) {}
void NTP_ResetReceiver() {}
int FindLockDest(int, int& router_index, int& dest) {
  router_index = -1;
  dest = -1;
  return 0;
}

}  // namespace xarvel
