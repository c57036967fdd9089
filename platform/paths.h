// Where the driver looks for its configuration when nothing more specific is set.
#pragma once

#include <string>

namespace plat {

// The directory that takes the place of the Windows directory (location mode 1): the value of
// $KIRN_WINDIR when it is set and not empty, else $HOME/.kirn (the home directory from the
// password database when $HOME is unset or empty, and "/.kirn" when even that is unknown).
// Returned without a trailing "/" added; the text is returned as found in the environment.
std::string WindowsDirectory();

// The file that names the configuration directory (location mode 3): the value of
// $KIRN_CONFIG_LOCATOR when it is set and not empty, else "/etc/kirn_config.ini".
std::string LocatorFilePath();

}  // namespace plat
