// The index (tally) and lock files of all routers.
#pragma once

namespace xarvel {

struct IndexFileState {
  // 0 until Idxfu_ReadIndex runs; then 1 = save as ".IDX", 2 = save as ".DAT".
  int SaveFormat = 0;
  // Set once Idxfu_ReadIndex has run: only then may the shutdown write the files.
  bool IndexRead = false;
};

IndexFileState& IndexFiles();
void ResetIndexFiles();

// Reads the stored tallies and locks into the tables (start-up).
void Idxfu_ReadIndex();
void Idxfu_WriteIndex();
void Idxfu_WriteLocks();

}  // namespace xarvel
