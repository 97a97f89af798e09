// The Control Panel entry of quillpanel.cpl: the only export, CPlApplet.
// The library offers one applet, "Kestrune Mail Service", whose double-click
// opens the configuration sheet. When the host is not a Qt program the
// library makes its own application object for the sheet and ends it when
// the Control Panel says CPL_EXIT.
#include <QApplication>
#include <cstring>
#include <memory>
#include <string>

#include "applet/applet_resources.h"
#include "applet/cpl.h"
#include "applet/mail_property_sheet.h"

namespace {

int g_argc = 1;
char g_arg0[] = "quillpanel";
char* g_argv[] = {g_arg0, nullptr};
// The application object this library made, if the host had none.
std::unique_ptr<QApplication> g_ownApplication;

void EnsureApplication() {
  if (QApplication::instance() == nullptr) g_ownApplication = std::make_unique<QApplication>(g_argc, g_argv);
}

template <std::size_t N>
void CopyText(char (&target)[N], const std::string& text) {
  const std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

void FillInfo(CPLINFO* info) {
  if (info == nullptr) return;
  info->idIcon = applet::IDI_APPLET;
  info->idName = applet::IDS_APPLET_NAME;
  info->idInfo = applet::IDS_APPLET_INFO;
  info->lData = 0;
}

void FillNewInfo(NEWCPLINFO* info) {
  if (info == nullptr) return;
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof(NEWCPLINFO);
  info->dwFlags = 0;
  info->dwHelpContext = 0;
  info->lData = 0;
  info->hIcon = applet::LoadIconHandle(applet::IDI_APPLET);
  CopyText(info->szName, applet::LoadResourceString(applet::IDS_APPLET_NAME));
  CopyText(info->szInfo, applet::LoadResourceString(applet::IDS_APPLET_INFO));
  info->szHelpFile[0] = '\0';
}

void ShowConfiguration() {
  EnsureApplication();
  applet::ShowConfiguration();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) LONG CPlApplet(CPL_HWND hwndCPl, UINT uMsg, LPARAM lParam1,
                                                                 LPARAM lParam2) {
  (void)hwndCPl;
  (void)lParam1;
  switch (uMsg) {
    case CPL_INIT: return 1;
    case CPL_GETCOUNT: return 1;
    case CPL_INQUIRE: FillInfo(reinterpret_cast<CPLINFO*>(lParam2)); return 0;
    case CPL_SELECT: return 1;
    case CPL_DBLCLK: ShowConfiguration(); return 0;
    case CPL_STOP: return 1;
    case CPL_EXIT: g_ownApplication.reset(); return 0;
    case CPL_NEWINQUIRE: FillNewInfo(reinterpret_cast<NEWCPLINFO*>(lParam2)); return 0;
    case CPL_STARTWPARMSA: ShowConfiguration(); return 0;  // the parameter string is ignored
    default: return 1;
  }
}
