#include "interface/interface_upcalls.h"

namespace xarvel {

InterfaceUpcalls& InterfaceUp() {
  static InterfaceUpcalls calls;
  return calls;
}

}  // namespace xarvel
