#include "interface/kirnif.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace xarvel {

plat::LResult KirnIf_HandOff(plat::Hwnd self, plat::WParam w, plat::LParam l) {
  return plat::HandOffDataMessage(self, w, l);
}

int32_t KirnIf_SendData(plat::Hwnd target, uint32_t msg, int32_t param, void* data, int32_t /*one*/,
                        int32_t length) {
  if (data == nullptr || length <= 0) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> block(bytes, bytes + length);
  plat::LResult result = 0;
  plat::Transport* transport = plat::GetTransport();
  if (plat::IsLocalWindow(target)) {
    result = plat::DeliverDataMessage(target, msg, param, block);
  } else if (target != plat::kNoWindow && transport != nullptr) {
    result = transport->Send(plat::CurrentWindow(), target, msg, param, 0, &block);
  } else {
    block.clear();
  }
  // The answer comes back in the block. When nobody answered the block comes back empty, so a
  // caller that reads an answer reads an empty text rather than its own request.
  std::memset(data, 0, static_cast<size_t>(length));
  if (!block.empty()) {
    std::memcpy(data, block.data(), std::min(block.size(), static_cast<size_t>(length)));
  }
  return static_cast<int32_t>(result);
}

}  // namespace xarvel
