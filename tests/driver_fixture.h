// In-process stand-ins for unit tests of the driver: the interface process KAPI as a local
// window, a reset of every module's state, and routers with tables but without profile files.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "config/profile.h"
#include "interface/messages.h"
#include "platform/window.h"

namespace testing_support {

// A stand-in for the interface process KAPI, living in this process as a local top-level window.
struct FakeKapi {
  struct Call {
    uint32_t msg;
    plat::WParam w;
    plat::LParam l;
  };
  struct Text {
    uint32_t msg;
    plat::WParam param;
    std::string text;
  };

  plat::Hwnd hwnd = plat::kNoWindow;
  bool answer_find = true;            // answers ZUT_FINDKAPI
  bool answer_find2 = true;           // answers ZUT_FINDKAPI2
  std::map<int, int> register_codes;  // device id -> ZUT_REGISTER answer; 0 when absent
  std::map<int, int> dev_modes;  // device id -> ZUT_GETDEVMODE answer; default_mode when absent
  int default_mode = xarvel::IFMODE_TXRX;
  std::vector<Call> calls;
  std::vector<Text> texts;
  // Runs for each plain message before it is answered (a peer may send meanwhile).
  std::function<void(uint32_t msg, plat::WParam w, plat::LParam l)> on_call;

  void Create() {
    hwnd = plat::CreateWindow([this](plat::Hwnd self, uint32_t msg, plat::WParam w,
                                     plat::LParam l) { return Proc(self, msg, w, l); },
                              true);
  }

  plat::LResult Proc(plat::Hwnd self, uint32_t msg, plat::WParam w, plat::LParam l) {
    using namespace xarvel;
    switch (msg) {
      case ZUT_DATA:
        return plat::HandOffDataMessage(self, w, l);
      case ZUT_REVERTIVE:
      case ZUT_QUERYREPLY:
        texts.push_back({msg, w, reinterpret_cast<const char*>(l)});
        return 0;
      default:
        break;
    }
    calls.push_back({msg, w, l});
    if (on_call) on_call(msg, w, l);
    const int id = static_cast<int>(l);
    switch (msg) {
      case ZUT_FINDKAPI:
      case ZUT_FINDKAPI2:
        if (msg == ZUT_FINDKAPI ? answer_find : answer_find2) {
          plat::SendMessage(static_cast<plat::Hwnd>(w), ZUT_KAPIHANDLE, self, 0);
        }
        return 0;
      case ZUT_REGISTER:
        return register_codes.count(id) != 0 ? register_codes[id] : 0;
      case ZUT_GETDEVMODE:
        return dev_modes.count(id) != 0 ? dev_modes[id] : default_mode;
      default:
        return 0;
    }
  }

  std::vector<Call> Sent(uint32_t msg) const {
    std::vector<Call> out;
    for (const Call& c : calls) {
      if (c.msg == msg) out.push_back(c);
    }
    return out;
  }
};

// Puts every module of the driver back to its start-up state, and starts collecting the
// controller commands the driver sends.
void ResetAll();

// The controller commands handed to SendData since the last ResetAll, oldest first.
std::vector<std::string>& SentCommands();

// Defines router `index` with its tables, as the router tables module would after reading the
// router's own profile: the poll range is the whole router.
xarvel::RouterConfig& AddRouter(int index, int device_id, int sources, int dests,
                                int offset_src = 0, int offset_dest = 0);

}  // namespace testing_support
