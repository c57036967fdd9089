// Destinations that the driver profile lists as locked.
#pragma once

namespace xarvel {

// Marks the destinations listed in the profile's "Locked_Dests_Router_%c" sections as locked.
void LoadLockedDestinationsFromDevIni();

// Unlocks every destination of the current router.
void UnlockAllDestinations();

}  // namespace xarvel
