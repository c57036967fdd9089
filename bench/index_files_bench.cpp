// Time of a full save and a full read of the index and lock files with all 26 routers at 4096
// destinations, in a temporary directory on the file system that holds /tmp. A save includes
// flushing the file and its directory to disk, so it measures the disk as much as the code.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "config/location.h"
#include "config/profile.h"
#include "platform/debug_output.h"
#include "state/index_files.h"
#include "state/router_tables.h"

namespace {

// All 26 routers with full tables, data files in a fresh temporary directory.
class FullTables {
 public:
  FullTables() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "idxbench.XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    ::setenv("KIRN_WINDIR", dir_.c_str(), 1);
    ::unsetenv("ZQ_ROOT");
    ::setenv("KIRN_CONFIG_LOCATOR", (dir_ + "/none.ini").c_str(), 1);
    plat::SetDebugSink([](std::string_view) {});
    xarvel::ResetLocation();
    xarvel::ResetProfile();
    xarvel::ResetIndexFiles();
    xarvel::Profile().DeviceNumber = 12;
    for (int i = 0; i < xarvel::kRouterCount; ++i) {
      xarvel::RouterConfig& r = xarvel::Profile().routers[static_cast<size_t>(i)];
      r.DeviceId = 100 + i;
      r.SourceCount = 4096;
      r.DestCount = 4096;
      r.TallyMemory.assign(xarvel::kIndexBlockBytes, 0);
      r.LockMemory.assign(xarvel::kLockBlockBytes, 0);
      for (int d = 1; d <= 4096; ++d) {
        xarvel::SetTally(r.DeviceId, d, (d * 7 + i) % 4096);
        xarvel::SetLock(r.DeviceId, d, d % 5 == 0);
      }
    }
    xarvel::IndexFiles().SaveFormat = xarvel::kSaveAsIdx;
  }
  ~FullTables() {
    plat::SetDebugSink({});
    std::filesystem::remove_all(dir_);
  }

 private:
  std::string dir_;
};

void BM_SaveIndexFile(benchmark::State& state) {
  FullTables tables;
  for (auto _ : state) benchmark::DoNotOptimize(xarvel::Idxfu_WriteIndex());
}
BENCHMARK(BM_SaveIndexFile)->Unit(benchmark::kMillisecond)->Repetitions(15);

void BM_SaveIndexAndLockFiles(benchmark::State& state) {
  FullTables tables;
  for (auto _ : state) {
    benchmark::DoNotOptimize(xarvel::Idxfu_WriteIndex());
    benchmark::DoNotOptimize(xarvel::Idxfu_WriteLocks());
  }
}
BENCHMARK(BM_SaveIndexAndLockFiles)->Unit(benchmark::kMillisecond)->Repetitions(15);

void BM_ReadIndexAndLockFiles(benchmark::State& state) {
  FullTables tables;
  xarvel::Idxfu_WriteIndex();
  xarvel::Idxfu_WriteLocks();
  for (auto _ : state) xarvel::Idxfu_ReadIndex();
}
BENCHMARK(BM_ReadIndexAndLockFiles)->Unit(benchmark::kMillisecond)->Repetitions(15);

}  // namespace

BENCHMARK_MAIN();
