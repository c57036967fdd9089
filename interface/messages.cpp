#include "interface/messages.h"

namespace xarvel {

const char* InterfaceModeName(int mode) {
  switch (mode) {
    case IFMODE_NONE:
      return "IFMODE_NONE";
    case IFMODE_RXONLY:
      return "IFMODE_RXONLY";
    case IFMODE_TXRX:
      return "IFMODE_TXRX";
    case IFMODE_FORCETXRX:
      return "IFMODE_FORCETXRX";
    case IFMODE_TXRXINQ:
      return "IFMODE_TXRXINQ";
    case IFMODE_RXONLYBROKEN:
      return "IFMODE_RXONLYBROKEN";
    default:
      return "?";
  }
}

}  // namespace xarvel
