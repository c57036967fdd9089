#include "ui/dialog_upcalls.h"

namespace xarvel {

DialogUpcalls& DialogUp() {
  static DialogUpcalls calls;
  return calls;
}

}  // namespace xarvel
