#include "config/locked_dests.h"

namespace xarvel {

// The lists are not read yet: loading marks nothing.
void LoadLockedDestinationsFromDevIni() {}

}  // namespace xarvel
