#include "state/router_tables.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "config/location.h"
#include "config/profile.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

RouterConfig* RouterAt(int index) {
  if (index < 0 || index >= kRouterCount) return nullptr;
  return &Profile().routers[static_cast<size_t>(index)];
}

RouterConfig* RouterById(int device_id) {
  return RouterAt(FindRouter(device_id));
}

bool DestInRange(const RouterConfig& r, int dest) {
  return dest >= 1 && dest <= r.DestCount;
}

// A database size as the profile holds it; anything that is not a decimal number reads as -1.
int ReadDatabaseSize(const std::string& path, const char* key) {
  const std::string text = ReadProfileString("Database", key, "-1", 8, path);
  int value = -1;
  ScanDecimal(text, value);
  return value;
}

// Allocates one table of `size` zero bytes and reports the outcome.
void AllocateTable(std::vector<uint8_t>& table, size_t size, int index, int device_id,
                   const char* ok_format, const char* fail_format) {
  try {
    table.assign(size, 0);
    // Three per router at every start: routine detail. A failure is a fault.
    DebugPrintfAt(LogLevel::kDebug, 1, ok_format, index, device_id);
  } catch (const std::bad_alloc&) {
    table.clear();
    DebugPrintfAt(LogLevel::kErr, 1, fail_format, index, device_id);
  }
}

}  // namespace

TableState& Tables() {
  static TableState state;
  return state;
}

void ResetTables() {
  Tables() = TableState{};
}

int MemoryInit() {
  for (int i = 0; i < kRouterCount; ++i) {
    RouterConfig& r = *RouterAt(i);
    if (r.DeviceId <= 0) continue;
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", r.DeviceId);
    const std::string path = ProfilePath(name);
    DebugPrintAt(LogLevel::kInfo, path, 0);
    r.SourceCount = ReadDatabaseSize(path, "DatabaseSize_0");
    if (r.SourceCount <= 0) continue;
    r.DestCount = ReadDatabaseSize(path, "DatabaseSize_1");
    if (r.DestCount <= 0) continue;
    // The tables hold 4096 destinations and 16-bit sources: larger databases are served up to
    // that capacity, never beyond it.
    if (r.DestCount > kTableDests) {
      DebugPrintfAt(LogLevel::kWarning, 1,
                    "Memory Init - rtr %d has %d dests - only the first %d are served", r.DeviceId,
                    r.DestCount, kTableDests);
      r.DestCount = kTableDests;
    }
    if (r.SourceCount > kMaxSource) r.SourceCount = kMaxSource;
    DebugPrintfAt(LogLevel::kInfo, 0,
                  "Memory Init - rtr %d srcs %d dests %d minpoll %d max poll %d", r.DeviceId,
                  r.SourceCount, r.DestCount, r.Min_Dest, r.Max_Dest);
    AllocateTable(r.TallyMemory, 2 * kTableDests, i, r.DeviceId,
                  "Memory Init - htallymemory OK for index %d rtr %d ",
                  "Memory Init - ERROR - tally %d memory fail for router  %d ");
    AllocateTable(r.LockMemory, kTableDests, i, r.DeviceId,
                  "Memory Init - hlockmemory OK for index %d rtr %d ",
                  "Memory Init - ERROR - lock %d memory fail for router  %d ");
    AllocateTable(r.MC1000LockMemory, kTableDests, i, r.DeviceId,
                  "Memory Init - hMC1000LockMemory OK for index %d rtr %d ",
                  "Memory Init - ERROR - MC1000 lock %d memory fail for router  %d ");
    if (r.Min_Dest == 0) r.Min_Dest = 1;
    if (r.Max_Dest == 0) {
      DebugPrintfAt(LogLevel::kWarning, 1,
                    "Memory Init - rtr %d DISCREP in MAX POLLS was %d now set to DESTS %d",
                    r.DeviceId, 0, r.DestCount);
      r.Max_Dest = r.DestCount;
    }
    if (r.Max_Dest != r.DestCount) {
      char text[256];
      std::snprintf(text, sizeof text,
                    "Discrepancy : for rtr=%d > ini file has Max Poll=%d, yet Dev_ini "
                    "DatabaseSize_1=%d",
                    r.DeviceId, r.Max_Dest, r.DestCount);
      Profile().StatusMessage = text;
      DebugPrintAt(LogLevel::kWarning, text, 1);
      Profile().StatusMessageFlag = 1;
      r.Max_Dest = r.DestCount;
    }
  }
  return 1;
}

void MemoryFree() {
  for (RouterConfig& r : Profile().routers) {
    if (r.DeviceId == 0) continue;
    r.TallyMemory = {};
    r.LockMemory = {};
    r.MC1000LockMemory = {};
  }
}

int FindRouter(int device_id) {
  for (int i = 0; i < kRouterCount; ++i) {
    if (Profile().routers[static_cast<size_t>(i)].DeviceId == device_id) return i;
  }
  return -1;
}

bool IsValidSource(int index, int source) {
  const RouterConfig* r = RouterAt(index);
  return r != nullptr && source >= 0 && source <= r->SourceCount;
}

bool IsValidDest(int index, int dest) {
  const RouterConfig* r = RouterAt(index);
  return r != nullptr && DestInRange(*r, dest);
}

void SetTally(int device_id, int dest, int source) {
  const int index = FindRouter(device_id);
  RouterConfig* r = RouterAt(index);
  if (r == nullptr || !DestInRange(*r, dest) || source < 0 || source > r->SourceCount) return;
  char text[128];
  std::snprintf(text, sizeof text, "Setting Memory Table Entry %d, Dest %d, Srce %d", index, dest,
                source);
  DebugPrintAt(LogLevel::kDebug, text, 1);
  if (r->TallyMemory.size() < 2u * kTableDests) return;
  const size_t at = 2 * static_cast<size_t>(dest - 1);
  r->TallyMemory[at] = static_cast<uint8_t>(source / 256);
  r->TallyMemory[at + 1] = static_cast<uint8_t>(source % 256);
  DebugPrintfAt(LogLevel::kDebug, 1, "%s  || memory vals %d %d ", text, r->TallyMemory[at],
                r->TallyMemory[at + 1]);
}

int GetTally(int device_id, int dest) {
  const RouterConfig* r = RouterById(device_id);
  if (r == nullptr || !DestInRange(*r, dest) || r->TallyMemory.size() < 2u * kTableDests) {
    return -1;
  }
  const size_t at = 2 * static_cast<size_t>(dest - 1);
  return r->TallyMemory[at] * 256 + r->TallyMemory[at + 1];
}

void SetLock(int device_id, int dest, int flag) {
  RouterConfig* r = RouterById(device_id);
  if (r == nullptr || !DestInRange(*r, dest) || r->LockMemory.size() < kTableDests) return;
  r->LockMemory[static_cast<size_t>(dest - 1)] = flag != 0 ? 1 : 0;
}

int GetLock(int device_id, int dest) {
  const RouterConfig* r = RouterById(device_id);
  if (r == nullptr || !DestInRange(*r, dest) || r->LockMemory.size() < kTableDests) return 0;
  return r->LockMemory[static_cast<size_t>(dest - 1)];
}

void SetMC1000Lock(int index, int dest, int state) {
  RouterConfig* r = RouterAt(index);
  if (r == nullptr || !DestInRange(*r, dest) || r->MC1000LockMemory.size() < kTableDests) return;
  r->MC1000LockMemory[static_cast<size_t>(dest - 1)] = static_cast<uint8_t>(state & 0xFF);
}

int GetMC1000Lock(int index, int dest) {
  const RouterConfig* r = RouterAt(index);
  if (r == nullptr || !DestInRange(*r, dest) || r->MC1000LockMemory.size() < kTableDests) {
    return -1;
  }
  return r->MC1000LockMemory[static_cast<size_t>(dest - 1)];
}

}  // namespace xarvel
