#include "tools/kirn/host/infodriver_standin.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "interface/kirnif.h"
#include "interface/messages.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/host/text_lines.h"

namespace kirn {
namespace {

// Largest block of listing lines sent in one message (the bus carries at most 64 KiB).
constexpr size_t kMaxListBlock = 32 * 1024;

// The timer that drops detached clients, and how long after the detach it runs.
constexpr uintptr_t kPruneTimer = 1;
constexpr unsigned kPruneDelayMs = 250;

bool InRange(int slot) {
  return slot >= 0 && slot < InfodriverStandIn::kSlotCount;
}

}  // namespace

InfodriverStandIn::InfodriverStandIn(int device, int mode, InfodriverHooks hooks)
    : device_(device), mode_(mode), hooks_(std::move(hooks)) {}

InfodriverStandIn::~InfodriverStandIn() {
  if (window_ != plat::kNoWindow) plat::DestroyWindow(window_);
}

bool InfodriverStandIn::Create() {
  window_ = plat::CreateWindow([this](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                      plat::LParam l) { return Proc(h, msg, w, l); },
                               true);
  return window_ != plat::kNoWindow;
}

void InfodriverStandIn::Event(const std::string& text, plat::LogLevel level) const {
  if (hooks_.event) hooks_.event(text, level);
}

int32_t InfodriverStandIn::SendBlock(plat::Hwnd to, uint32_t msg, int32_t param,
                                     std::string_view text, int timeout) {
  std::vector<char> data(text.begin(), text.end());
  data.push_back('\0');
  int previous = 0;
  if (hooks_.set_send_timeout) previous = hooks_.set_send_timeout(timeout);
  const int32_t r =
      xarvel::KirnIf_SendData(to, msg, param, data.data(), 1, static_cast<int32_t>(data.size()));
  if (hooks_.set_send_timeout) hooks_.set_send_timeout(previous);
  return r;
}

plat::LResult InfodriverStandIn::SendPlain(plat::Hwnd to, uint32_t msg, plat::WParam w,
                                           plat::LParam l, int timeout) {
  int previous = 0;
  if (hooks_.set_send_timeout) previous = hooks_.set_send_timeout(timeout);
  const plat::LResult r = plat::SendMessage(to, msg, w, l);
  if (hooks_.set_send_timeout) hooks_.set_send_timeout(previous);
  return r;
}

plat::LResult InfodriverStandIn::Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w,
                                      plat::LParam l) {
  // Only a block handed off with the message may be read through lParam.
  const bool via_handoff = plat::IsHandedOffBlock(l);
  switch (msg) {
    case xarvel::ZUT_FINDINFODRIVER:
      OnFind(w, l);
      return 0;
    case xarvel::ZUT_DATA:
      return xarvel::KirnIf_HandOff(hwnd, w, l);
    case xarvel::ZUT_INFOHANDLE:
      // The answer to a find of our own device: another infodriver already serves it.
      rival_ = Low16(w);
      return 0;
    case xarvel::ZUT_INFOOPTIONS:
      Event("options from " + Hex(Low16(w)) + " " + std::to_string(l));
      return 0;
    case xarvel::ZUT_INFODETACH:
      // The message does not say who detaches: the windows that are gone are dropped a moment
      // later, once the detaching one has been destroyed and its handle given back.
      Event("detach " + std::to_string(l), plat::LogLevel::kInfo);
      plat::SetTimer(window_, kPruneTimer, kPruneDelayMs);
      return 0;
    case plat::WM_TIMER:
      if (w == static_cast<plat::WParam>(kPruneTimer)) {
        plat::KillTimer(window_, kPruneTimer);
        PruneClients();
      }
      return 0;
    case xarvel::ZUT_IDGETTXRXMODE:
      return mode_;
    case xarvel::ZUT_IDSETTXRXMODE:
      return SetMode(static_cast<int>(w));
    case xarvel::ZUT_SLOTWRITE:
    case xarvel::ZUT_SLOTWRITE2:
    case xarvel::ZUT_SLOTREAD:
    case kKirnSlotRequest:
      if (!via_handoff || l == 0) return 0;
      return OnData(msg, w, l);
    case kKirnSlotList:
      return SendListing(Low16(w));
    case xarvel::ZUT_CLOSE:
      // Asked to close: the clients are told once this message is done.
      Event("close requested", plat::LogLevel::kNotice);
      plat::PostMessage(window_, kKirnInfoQuit, 0, 0);
      return 0;
    case kKirnInfoQuit:
      CloseClients();
      if (hooks_.quit) hooks_.quit();
      return 0;
    default:
      return 0;
  }
}

plat::LResult InfodriverStandIn::OnData(uint32_t msg, plat::WParam w, plat::LParam l) {
  const size_t size = plat::HandedOffBlockSize();
  char* block = reinterpret_cast<char*>(l);
  const int slot = static_cast<int>(w);
  switch (msg) {
    case xarvel::ZUT_SLOTREAD:
      return ReadSlot(slot, block, size);
    case kKirnSlotRequest: {
      // The block always ends in a zero that the hand-off keeps past it.
      const std::string text(block, strnlen(block, std::min<size_t>(size, kMaxSlotRequestText)));
      const int taken = RequestSlot(slot, text);
      Event("request " + std::to_string(slot) + " [" + OneLine(text) + "] -> " +
            std::to_string(taken));
      return taken;
    }
    default: {  // ZUT_SLOTWRITE, ZUT_SLOTWRITE2
      const std::string_view text(block, strnlen(block, std::min(size, kMaxSlotText)));
      const int stored = WriteSlot(slot, text);
      Event("write " + std::to_string(slot) + " [" + OneLine(text) + "]" +
            (stored != 0 ? "" : " refused"));
      return stored;
    }
  }
}

void InfodriverStandIn::OnFind(plat::WParam w, plat::LParam l) {
  const plat::Hwnd finder = Low16(w);
  if ((l & 0xFFFF) != device_ || finder == plat::kNoWindow || finder == window_) return;
  const bool tool = ((static_cast<uint32_t>(l) >> 16) & 0xFFFF) == kToolFindMarker;
  if (!tool && clients_.insert(finder).second) {
    Event("client " + Hex(finder) + " connected", plat::LogLevel::kInfo);
  }
  SendPlain(finder, xarvel::ZUT_INFOHANDLE, window_, 0, kClientTimeoutMs);
}

int InfodriverStandIn::WriteSlot(int slot, std::string_view text) {
  if (!InRange(slot)) return 0;
  slots_[static_cast<size_t>(slot)].assign(text.substr(0, kMaxSlotText));
  return 1;
}

std::string_view InfodriverStandIn::SlotText(int slot) const {
  return InRange(slot) ? std::string_view(slots_[static_cast<size_t>(slot)]) : std::string_view();
}

int InfodriverStandIn::ReadSlot(int slot, char* block, size_t size) const {
  if (block == nullptr || size == 0) return 0;
  std::memset(block, 0, size);
  const std::string_view text = SlotText(slot);
  std::memcpy(block, text.data(), std::min(text.size(), size - 1));
  return InRange(slot) ? 1 : 0;
}

int InfodriverStandIn::SetMode(int mode) {
  mode_ = mode;
  Event("mode " + std::to_string(mode), plat::LogLevel::kInfo);
  return mode_;
}

int InfodriverStandIn::RequestSlot(int slot, std::string_view text) {
  if (!InRange(slot)) return -1;
  int taken = 0;
  // A client may detach or find again while it handles the notice: work on a copy.
  const std::vector<plat::Hwnd> clients(clients_.begin(), clients_.end());
  std::vector<plat::Hwnd> silent;
  for (plat::Hwnd client : clients) {
    if (SendBlock(client, xarvel::ZUT_SLOTCHANGE, slot, text, kClientTimeoutMs) == 1) {
      ++taken;
    } else {
      silent.push_back(client);
    }
  }
  // A client that did not take the notice is kept while its window exists (it may only be
  // busy); one whose window is gone is dropped.
  for (plat::Hwnd client : silent) {
    if (hooks_.is_alive && !hooks_.is_alive(client) && clients_.erase(client) != 0) {
      Event("client " + Hex(client) + " gone", plat::LogLevel::kInfo);
    }
  }
  return taken;
}

void InfodriverStandIn::CloseClients() {
  if (closing_) return;
  closing_ = true;
  const std::vector<plat::Hwnd> clients(clients_.begin(), clients_.end());
  clients_.clear();
  for (plat::Hwnd client : clients) {
    SendPlain(client, xarvel::ZUT_CLOSE, 0, 0, kClientTimeoutMs);
    Event("client " + Hex(client) + " told of the close", plat::LogLevel::kInfo);
  }
}

void InfodriverStandIn::PruneClients() {
  if (!hooks_.is_alive) return;
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (hooks_.is_alive(*it)) {
      ++it;
      continue;
    }
    Event("client " + Hex(*it) + " gone", plat::LogLevel::kInfo);
    it = clients_.erase(it);
  }
}

void InfodriverStandIn::WindowGone(plat::Hwnd h) {
  if (clients_.count(h) != 0) plat::SetTimer(window_, kPruneTimer, kPruneDelayMs);
}

int InfodriverStandIn::Announce() {
  PruneClients();
  int told = 0;
  const std::set<plat::Hwnd> clients = clients_;
  for (plat::Hwnd c : clients) {
    SendPlain(c, xarvel::ZUT_INFOHANDLE, window_, 0, kToolTimeoutMs);
    ++told;
  }
  Event("announced to " + std::to_string(told) + " clients", plat::LogLevel::kInfo);
  return told;
}

std::string InfodriverStandIn::ListSlots(int* count) const {
  std::string out;
  int n = 0;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string& text = slots_[static_cast<size_t>(slot)];
    if (text.empty()) continue;
    out += std::to_string(slot) + " " + OneLine(text) + "\n";
    ++n;
  }
  if (count != nullptr) *count = n;
  return out;
}

plat::LResult InfodriverStandIn::SendListing(plat::Hwnd to) {
  int count = 0;
  const std::string lines = ListSlots(&count);
  if (to == plat::kNoWindow || to == window_ || count == 0) return count;
  // Sent in blocks of whole lines; each block's parameter is its number of lines.
  size_t start = 0;
  while (start < lines.size()) {
    size_t end = start;
    int32_t in_block = 0;
    while (end < lines.size()) {
      const size_t next = lines.find('\n', end) + 1;
      if (next - start > kMaxListBlock && in_block > 0) break;
      end = next;
      ++in_block;
    }
    if (SendBlock(to, kKirnLines, in_block, std::string_view(lines).substr(start, end - start),
                  kToolTimeoutMs) != 1) {
      break;
    }
    start = end;
  }
  return count;
}

}  // namespace kirn
