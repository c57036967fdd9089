// The index (tally) and lock files of all routers, so that routes and locks survive a restart.
//
// Index file ("DEV_%03d.IDX" / "XARVEL.IDX", or the same content as ".DAT"): 26 blocks of 8192
// bytes, no header, router A first; block i is router i's tally table byte for byte (entry of
// destination d at 2(d-1), source high byte first). Lock file ("DEV_%03d.LCK" / "XARVEL.LCK"):
// 26 blocks of 4096 bytes, block i router i's lock table (one byte per destination, 1 = locked).
// A router without a table is stored as zero bytes. Names come from the driver's own device
// number (1..999, else "XARVEL") and are resolved by DataFilePath.
//
// Files are replaced whole through a temporary file and a rename, so a crash or a full disk
// leaves the previous complete file rather than a short one. Lines about the files go to the
// debug output whatever the debug mode. Main thread only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace xarvel {

// Bytes per router block and per file.
inline constexpr size_t kIndexBlockBytes = 8192;
inline constexpr size_t kLockBlockBytes = 4096;
inline constexpr size_t kIndexFileBytes = 26 * kIndexBlockBytes;  // 212,992
inline constexpr size_t kLockFileBytes = 26 * kLockBlockBytes;    // 106,496

// Save formats.
inline constexpr int kSaveAsIdx = 1;
inline constexpr int kSaveAsDat = 2;

struct IndexFileState {
  // 0 until Idxfu_ReadIndex runs; then 1 = save as ".IDX", 2 = save as ".DAT".
  int SaveFormat = 0;
  // Set once Idxfu_ReadIndex has run: only then may the shutdown write the files.
  bool IndexRead = false;
};

IndexFileState& IndexFiles();
void ResetIndexFiles();

// The bare file name for the driver's device number with `extension` ("IDX", "DAT", "LCK"):
// "DEV_%03d.<ext>" for device numbers 1..999, else "XARVEL.<ext>".
std::string IndexFileName(std::string_view extension);

// Loads the tally tables from the ".DAT" file, else the ".IDX" file, and the lock tables from
// the lock file; sets the save format (2 when a ".DAT" file was read, else 1). With no index
// file every tally becomes 65535 (no source known) and a new ".IDX" file is written; with no
// lock file every lock is cleared and a new lock file is written. Bytes missing at the end of a
// short file read as 255. Marks the files as read. REQUIRES: MemoryInit has run.
void Idxfu_ReadIndex();

// Writes every router's tally table to the index file (".DAT" when the save format is 2, else
// ".IDX"). Returns 1 when the file now holds the tables; 0 when it could not be written, in
// which case the previous file is untouched and one error line says why.
int Idxfu_WriteIndex();

// Sets every byte of every existing tally table to 255 (source 65535: no source known).
void Idxfu_ClearIndex();

// Writes every router's lock table to the lock file. Returns 1 / 0 as Idxfu_WriteIndex.
int Idxfu_WriteLocks();

// Clears every entry of every existing lock table.
void Idxfu_ClearLocks();

}  // namespace xarvel
