// The counters answer at its largest: 26 routers and every count at its widest still fit the
// panel's answer block whole, and read back as they were written.
#include "core/panel_counters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "config/profile.h"
#include "core/remote_panel.h"
#include "link/link_counters.h"
#include "protocol/command_counters.h"

namespace {

TEST(PanelCountersTest, TheLargestAnswerFitsTheBlockAndReadsBack) {
  xarvel::ResetProfile();
  xarvel::ResetCommandCounters();
  xarvel::ResetLinkCounters();
  constexpr uint64_t kWide = std::numeric_limits<int64_t>::max();
  for (int i = 0; i < xarvel::kRouterCount; ++i) {
    xarvel::Profile().routers[static_cast<size_t>(i)].DeviceId = 974 + i;  // three digits
    xarvel::CommandCount().Routes[static_cast<size_t>(i)] = kWide;
    xarvel::CommandCount().Refused[static_cast<size_t>(i)].fill(kWide);
  }
  xarvel::CommandCount().Refused[xarvel::kNoRouterSlot][xarvel::kRefusedRxOnly] = 7;
  xarvel::LinkCount().Dropped.fill(kWide);
  xarvel::LinkCount().RouteReportLatency.buckets.fill(1);
  xarvel::LinkCount().RouteReportLatency.count = 14;

  const std::string text = xarvel::PanelCountersText();
  // The block keeps one byte for its terminator.
  EXPECT_LT(text.size(), static_cast<size_t>(xarvel::kPanelBlockSize) - 1) << text.size();

  const xarvel::PanelCounters read = xarvel::ParsePanelCounters(text);
  EXPECT_TRUE(read.complete);
  EXPECT_EQ(read.Get("format"), 1);
  EXPECT_EQ(read.Get("routes", {"999"}), static_cast<int64_t>(kWide));
  EXPECT_EQ(read.Get("routes_refused", {"974", "locked"}), static_cast<int64_t>(kWide));
  EXPECT_EQ(read.Get("routes_refused", {"none", "rx_only"}), 7);
  EXPECT_EQ(read.Get("route_report_latency_bucket", {"0.0025"}), 2) << "cumulative";
  EXPECT_EQ(read.Get("route_report_latency_bucket", {"+Inf"}), 14);

  // Cut short, the answer says so; a line cut in the middle is not taken.
  const xarvel::PanelCounters cut = xarvel::ParsePanelCounters(text.substr(0, text.size() / 2));
  EXPECT_FALSE(cut.complete);
  EXPECT_LT(cut.lines.size(), read.lines.size());
  xarvel::ResetProfile();
  xarvel::ResetCommandCounters();
  xarvel::ResetLinkCounters();
}

}  // namespace
