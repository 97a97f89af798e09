// The Control Panel extension interface: the messages a Control Panel sends
// to the export CPlApplet of a .cpl library, and the records in which the
// applet describes itself. The host program quillpanel plays the Control
// Panel; quillpanel.cpl is the applet.
//
// Handles and user data are 32-bit values in both records, so that
// NEWCPLINFO has its documented size of 244 bytes on every platform; the
// icon handle names an icon of the applet's own resources (see
// applet_resources.h).
#pragma once

#include <cstdint>

#include "platform/win_types.h"

constexpr UINT CPL_INIT = 1;
constexpr UINT CPL_GETCOUNT = 2;
constexpr UINT CPL_INQUIRE = 3;
constexpr UINT CPL_SELECT = 4;
constexpr UINT CPL_DBLCLK = 5;
constexpr UINT CPL_STOP = 6;
constexpr UINT CPL_EXIT = 7;
constexpr UINT CPL_NEWINQUIRE = 8;
constexpr UINT CPL_STARTWPARMSA = 9;

using CPL_HWND = void*;        // the Control Panel's window (unused by the applet)
using CPL_HICON = std::uint32_t;  // an icon handle issued by the applet, 0 = none

struct CPLINFO {
  std::int32_t idIcon;
  std::int32_t idName;
  std::int32_t idInfo;
  std::int32_t lData;
};

struct NEWCPLINFO {
  DWORD dwSize;
  DWORD dwFlags;
  DWORD dwHelpContext;
  std::int32_t lData;
  CPL_HICON hIcon;
  char szName[32];
  char szInfo[64];
  char szHelpFile[128];
};

static_assert(sizeof(CPLINFO) == 16, "CPLINFO has four 32-bit fields");
static_assert(sizeof(NEWCPLINFO) == 244, "NEWCPLINFO is 244 bytes");

// The signature of the export every .cpl library provides.
using APPLET_PROC = LONG (*)(CPL_HWND hwndCPl, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
inline constexpr const char* kCplAppletExport = "CPlApplet";
