#include "host/UserInterface.h"

namespace vantrel {
namespace {
IMessageBox* g_box = nullptr;
void (*g_processHook)() = nullptr;
}  // namespace

void SetMessageBox(IMessageBox* box) { g_box = box; }

TMsgResult ShowMessageBox(const std::string& text, const std::string& caption, TMsgType type,
                          TMsgButtons buttons) {
  if (g_box) return g_box->Show(text, caption, type, buttons);
  return buttons == TMsgButtons::mbOK ? TMsgResult::mrOK : TMsgResult::mrNo;
}

void SetProcessMessagesHook(void (*hook)()) { g_processHook = hook; }

void ProcessMessages() {
  if (g_processHook) g_processHook();
}

}  // namespace vantrel
