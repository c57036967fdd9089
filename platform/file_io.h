// Small helpers over file descriptors.
#pragma once

#include <string_view>

namespace plat {

// Writes all of `data` to `fd`, retrying partial writes and EINTR. Returns false on any other
// error (what was written before it stays written).
bool WriteAll(int fd, std::string_view data);

}  // namespace plat
