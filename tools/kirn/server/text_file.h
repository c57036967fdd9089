// Small files read whole (configuration, certificates, keys), never blocking on a FIFO.
#pragma once

#include <string>

namespace kirn {

// Reads the regular file at `path` (at most 1 MiB) into `text`. False and `error` set (naming
// the path) otherwise.
bool ReadTextFile(const std::string& path, std::string* text, std::string* error);

}  // namespace kirn
