// Helper for the crash test of the index and lock files: saves ever-changing tables in a loop
// until it is killed.
//
// Runs as device 12 in location mode 1 (the test sets KIRN_WINDIR to a directory holding
// DEV_101.INI and DEV_102.INI, which size routers A and C). For generation g = 1, 2, ... it
// fills the tables with SaveLoopPattern(g), writes the index file and then the lock file, and
// after both prints "saved <g>" on its own line.
#include <cstdio>
#include <cstring>

#include "config/profile.h"
#include "platform/debug_output.h"
#include "save_loop_pattern.h"
#include "state/index_files.h"
#include "state/router_tables.h"

int main(int argc, char** argv) {
  if (argc > 1) {
    const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    std::fputs(
        "usage: save_loop   (KIRN_WINDIR: a directory holding DEV_101.INI and DEV_102.INI)\n"
        "Saves ever-changing tables as device 12 until killed; prints 'saved <g>' after\n"
        "each generation's index and lock files.\n",
        help ? stdout : stderr);
    return help ? 0 : 2;
  }
  // The file lines of every save would flood the captured output.
  plat::SetDebugSink([](std::string_view) {});
  xarvel::DriverProfile& p = xarvel::Profile();
  p.DeviceNumber = 12;
  for (const save_loop::RouterSetup& setup : save_loop::kRouters) {
    xarvel::RouterConfig& r = p.routers[static_cast<size_t>(setup.index)];
    r.DeviceId = setup.device_id;
    r.Min_Dest = 1;
    r.Max_Dest = setup.dests;
  }
  xarvel::MemoryInit();
  for (const save_loop::RouterSetup& setup : save_loop::kRouters) {
    const xarvel::RouterConfig& r = p.routers[static_cast<size_t>(setup.index)];
    if (r.TallyMemory.size() < 2 * 4096 || r.LockMemory.size() < 4096) {
      std::fprintf(stderr, "save_loop: router %d has no tables (is KIRN_WINDIR the site?)\n",
                   setup.device_id);
      return 1;
    }
  }
  xarvel::IndexFiles().SaveFormat = xarvel::kSaveAsIdx;
  for (unsigned g = 1;; ++g) {
    save_loop::Fill(g);
    if (xarvel::Idxfu_WriteIndex() == 1 && xarvel::Idxfu_WriteLocks() == 1) {
      std::printf("saved %u\n", g);
      std::fflush(stdout);
    }
  }
}
