// A router with its tables but without profile files, as the router tables module leaves it after
// reading the router's own profile: the poll range is the whole router. For tests, fuzz targets
// and benchmarks.
#pragma once

#include <cstddef>

#include "config/profile.h"
#include "state/router_tables.h"

namespace testing_support {

inline xarvel::RouterConfig& DefineRouter(int index, int device_id, int sources, int dests,
                                          int offset_src = 0, int offset_dest = 0) {
  xarvel::RouterConfig& r = xarvel::Profile().routers[static_cast<size_t>(index)];
  r.DeviceId = device_id;
  r.SourceCount = sources;
  r.DestCount = dests;
  r.Min_Dest = 1;
  r.Max_Dest = dests;
  r.Offset_Src = offset_src;
  r.Offset_Dest = offset_dest;
  r.TallyMemory.assign(2 * xarvel::kTableDests, 0);
  r.LockMemory.assign(xarvel::kTableDests, 0);
  r.MC1000LockMemory.assign(xarvel::kTableDests, 0);
  return r;
}

}  // namespace testing_support
