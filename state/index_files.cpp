#include "state/index_files.h"

namespace xarvel {

IndexFileState& IndexFiles() {
  static IndexFileState state;
  return state;
}

void ResetIndexFiles() {
  IndexFiles() = IndexFileState{};
}

// The files are not kept yet; nothing reads them, so nothing may overwrite them.
void Idxfu_ReadIndex() {}
void Idxfu_WriteIndex() {}
void Idxfu_WriteLocks() {}

}  // namespace xarvel
