#include "tools/kirn/common/tool_client.h"

#include <signal.h>

#include <csignal>
#include <cstring>
#include <vector>

#include "core/remote_panel.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/bus_host.h"
#include "tools/kirn/common/kirn_messages.h"

namespace kirn {
namespace {

// Longer than the stand-in's own wait for a driver, so its answer (or the host's) comes first.
constexpr int kToolSendTimeoutMs = 8000;

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
  g_stop = 1;
}

}  // namespace

void InstallStopSignals() {
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a wait in poll() returns so the flag is seen
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested() {
  return g_stop != 0;
}

std::unique_ptr<ToolClient> ToolClient::Open(std::string* error) {
  const std::string path = plat::BusPath();
  std::string why;
  auto bus = plat::BusClient::Connect(path, &why);
  if (!bus) {
    if (error != nullptr) *error = "no workstation bus (is 'kirn serve' running?): " + why;
    return nullptr;
  }
  std::unique_ptr<ToolClient> client(new ToolClient);
  client->bus_ = std::move(bus);
  client->bus_->SetSendTimeoutMs(kToolSendTimeoutMs);
  plat::SetTransport(client->bus_.get());
  ToolClient* self = client.get();
  client->window_ = plat::CreateWindow([self](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                              plat::LParam l) { return self->Proc(h, msg, w, l); },
                                       false);
  if (client->window_ == plat::kNoWindow) {
    if (error != nullptr) *error = "the bus host at " + path + " gave no window handle";
    return nullptr;
  }
  client->finding_ = true;
  plat::SendMessage(plat::HWND_BROADCAST, xarvel::ZUT_FINDKAPI, client->window_, kToolFindMarker);
  client->finding_ = false;
  if (client->kapi_ == plat::kNoWindow) {
    if (error != nullptr) *error = "no control-system interface answers on the bus at " + path;
    return nullptr;
  }
  return client;
}

ToolClient::~ToolClient() {
  if (window_ != plat::kNoWindow) plat::DestroyWindow(window_);
  plat::SetTransport(nullptr);
  bus_.reset();
}

plat::LResult ToolClient::Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  // Only a block handed off with the message may be read through lParam.
  const bool via_handoff = plat::IsHandedOffBlock(l);
  // A handle is taken while the tool looks for one, from the window that names itself; lines
  // only from a window found so.
  const plat::Hwnd sender = plat::MessageSender();
  const bool names_itself = finding_ && (sender == plat::kNoWindow || sender == (w & 0xFFFF));
  switch (msg) {
    case xarvel::ZUT_KAPIHANDLE:
      if (kapi_ == plat::kNoWindow && names_itself) kapi_ = static_cast<plat::Hwnd>(w & 0xFFFF);
      return 0;
    case xarvel::ZUT_INFOHANDLE:
      if (info_ == plat::kNoWindow && names_itself) info_ = static_cast<plat::Hwnd>(w & 0xFFFF);
      return 0;
    case xarvel::kPanelHere:
      // The first driver to answer for the device, naming its own window, is the one asked.
      if (panel_device_ != 0 && l == panel_device_ && panel_ == plat::kNoWindow &&
          (sender == plat::kNoWindow || sender == (w & 0xFFFF))) {
        panel_ = static_cast<plat::Hwnd>(w & 0xFFFF);
      }
      return 0;
    case xarvel::ZUT_DATA:
      return xarvel::KirnIf_HandOff(hwnd, w, l);
    case kKirnLines: {
      if (!via_handoff || l == 0) return 0;
      if (sender != plat::kNoWindow && sender != kapi_ && sender != info_) return 0;
      // The block ends in a zero that the hand-off keeps past it.
      std::string_view text(reinterpret_cast<const char*>(l));
      while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (on_line_ && !line.empty()) on_line_(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
      }
      return 1;
    }
    case kKirnRelaysDropped:
      // Relays lost on their way: the line handler hears it as "LOST <count>", or "LOST watch"
      // when the stand-in dropped the watch itself.
      if (sender != plat::kNoWindow && sender != kapi_) return 0;
      if (on_line_) {
        on_line_(w == kRelaysWatcherDropped ? std::string("LOST watch")
                                            : "LOST " + std::to_string(w));
      }
      return 1;
    default:
      return 0;
  }
}

plat::LResult ToolClient::Request(uint32_t msg, plat::WParam w, plat::LParam l) {
  return plat::SendMessage(kapi_, msg, w, l);
}

bool ToolClient::RequestAnswered(uint32_t msg, plat::WParam w, plat::LParam l,
                                 plat::LResult* result) {
  *result = 0;
  if (!connected() || kapi_ == plat::kNoWindow) return false;
  *result = bus_->Send(window_, kapi_, msg, w, l, nullptr);
  return bus_->last_send_answered();
}

int32_t ToolClient::RequestWithText(uint32_t msg, int32_t param, std::string_view text) {
  return RequestWithTextTo(kapi_, msg, param, text);
}

int32_t ToolClient::RequestWithTextTo(plat::Hwnd to, uint32_t msg, int32_t param,
                                      std::string_view text) {
  std::vector<char> block(text.begin(), text.end());
  block.push_back('\0');
  return xarvel::KirnIf_SendData(to, msg, param, block.data(), 1,
                                 static_cast<int32_t>(block.size()));
}

plat::Hwnd ToolClient::FindInfodriver(int device) {
  info_ = plat::kNoWindow;
  const uint32_t l = (static_cast<uint32_t>(kToolFindMarker) << 16) | (device & 0xFFFF);
  finding_ = true;
  plat::SendMessage(plat::HWND_BROADCAST, xarvel::ZUT_FINDINFODRIVER, window_,
                    static_cast<int32_t>(l));
  finding_ = false;
  return info_;
}

bool ToolClient::AskPanelStatus(int device, std::string* answer) {
  answer->clear();
  panel_ = plat::kNoWindow;
  panel_device_ = device;
  plat::SendMessage(plat::HWND_BROADCAST, xarvel::kPanelFind, window_, device);
  panel_device_ = 0;
  if (panel_ == plat::kNoWindow) return false;
  std::vector<char> block(static_cast<size_t>(xarvel::kPanelBlockSize), '\0');
  const int32_t r = xarvel::KirnIf_SendData(panel_, xarvel::kPanelStatus, 0, block.data(), 1,
                                            xarvel::kPanelBlockSize);
  block.back() = '\0';
  *answer = block.data();
  return r > 0;
}

bool ToolClient::Pump(int timeout_ms) {
  if (!connected()) return false;
  bus_->Pump(timeout_ms);
  return connected();
}

}  // namespace kirn
