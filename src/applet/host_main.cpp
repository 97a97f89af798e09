// quillpanel: plays the Control Panel for quillpanel.cpl. Loads the library
// from its own folder, sends CPL_INIT, CPL_GETCOUNT and CPL_NEWINQUIRE for
// every applet, then CPL_DBLCLK for the first one (which opens the sheet and
// returns when it is closed), then CPL_STOP and CPL_EXIT.
//
//   quillpanel          open the configuration
//   quillpanel --list   only print each applet's name and description
#include <cstdio>
#include <cstring>
#include <string>

#include "applet/cpl.h"
#include "platform/library.h"
#include "platform/paths.h"

namespace {

constexpr const char* kLibraryName = "quillpanel.cpl";

}  // namespace

int main(int argc, char** argv) {
  const bool list_only = argc > 1 && std::strcmp(argv[1], "--list") == 0;
  const std::string path = platform::ModuleFolder() + kLibraryName;
  platform::DynamicLibrary library;
  if (!library.Load(path)) {
    std::fprintf(stderr, "quillpanel: %s\n", library.ErrorText().c_str());
    return 1;
  }
  const auto applet = reinterpret_cast<APPLET_PROC>(library.Symbol(kCplAppletExport));
  if (applet == nullptr) {
    std::fprintf(stderr, "quillpanel: %s does not export %s\n", path.c_str(), kCplAppletExport);
    return 1;
  }
  if (applet(nullptr, CPL_INIT, 0, 0) == 0) {
    std::fprintf(stderr, "quillpanel: %s refused to start\n", path.c_str());
    return 1;
  }
  const LONG count = applet(nullptr, CPL_GETCOUNT, 0, 0);
  LPARAM first_data = 0;
  for (LONG i = 0; i < count; ++i) {
    NEWCPLINFO info{};
    info.dwSize = sizeof info;
    applet(nullptr, CPL_NEWINQUIRE, i, reinterpret_cast<LPARAM>(&info));
    if (i == 0) first_data = info.lData;
    if (list_only) std::printf("%s: %s\n", info.szName, info.szInfo);
  }
  if (!list_only && count > 0) applet(nullptr, CPL_DBLCLK, 0, first_data);
  for (LONG i = 0; i < count; ++i) applet(nullptr, CPL_STOP, i, 0);
  applet(nullptr, CPL_EXIT, 0, 0);
  return 0;
}
