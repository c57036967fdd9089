// kirn slot and slots: ask an infodriver for a slot change as another user would, and list its
// slots.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/window.h"
#include "tools/kirn/client/client_commands.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/common/tool_client.h"

namespace kirn {
namespace {

// Opens a tool connection and finds infodriver `device`; on failure reports and returns null.
std::unique_ptr<ToolClient> OpenInfodriver(const std::string& command, int device,
                                           plat::Hwnd* info) {
  std::string error;
  auto client = ToolClient::Open(&error);
  if (!client) {
    Failure(command, error);
    return nullptr;
  }
  *info = client->FindInfodriver(device);
  if (*info == plat::kNoWindow) {
    Failure(command, "infodriver " + std::to_string(device) + " is not on the bus");
    return nullptr;
  }
  return client;
}

}  // namespace

int RunSlot(const Args& all) {
  Args after;
  Args args = SplitOptionsEnd(all, &after);
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      return UsageError("slot", "unknown option '" + a + "'");
    }
  }
  args.insert(args.end(), after.begin(), after.end());
  if (args.size() != 3) return UsageError("slot", "expects INFODEV, SLOT and TEXT");
  int device = 0;
  if (!ParseDevice(args[0], &device)) {
    return UsageError("slot", "INFODEV must be a device id 1..999, not '" + args[0] + "'");
  }
  long long slot = 0;
  if (args[1].empty() || args[1][0] < '0' || args[1][0] > '9' ||
      !ParseInt(args[1], 0, kInfodriverSlots - 1, &slot)) {
    return UsageError("slot", "SLOT must be 0.." + std::to_string(kInfodriverSlots - 1) +
                                  ", not '" + args[1] + "'");
  }
  if (args[2].size() > static_cast<size_t>(kMaxSlotRequestText)) {
    return UsageError("slot",
                      "TEXT is longer than " + std::to_string(kMaxSlotRequestText) + " characters");
  }
  plat::Hwnd info = plat::kNoWindow;
  auto client = OpenInfodriver("slot", device, &info);
  if (!client) return 1;
  const int32_t taken =
      client->RequestWithTextTo(info, kKirnSlotRequest, static_cast<int32_t>(slot), args[2]);
  std::printf("%d\n", taken);
  return 0;
}

int RunSlots(const Args& all) {
  int device = 0;
  Args after;
  Args args = SplitOptionsEnd(all, &after);
  const bool option = args.size() == 1 && args[0].size() > 1 && args[0][0] == '-';
  args.insert(args.end(), after.begin(), after.end());
  if (args.size() != 1 || option) {
    return UsageError("slots", "expects INFODEV");
  }
  if (!ParseDevice(args[0], &device)) {
    return UsageError("slots", "INFODEV must be a device id 1..999, not '" + args[0] + "'");
  }
  plat::Hwnd info = plat::kNoWindow;
  auto client = OpenInfodriver("slots", device, &info);
  if (!client) return 1;
  client->SetLineHandler([](std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  });
  plat::SendMessage(info, kKirnSlotList, client->window(), 0);
  std::fflush(stdout);
  return 0;
}

}  // namespace kirn
