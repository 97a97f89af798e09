// The applet's resources: its string table and its icons, by the ids the
// Control Panel and the property sheet use. Icons are PNG files compiled into
// the library (icons/, drawn by scripts/make_icons.py).
#pragma once

#include <array>
#include <string>

#include "applet/cpl.h"

class QIcon;
class QString;

namespace applet {

// String ids.
inline constexpr int IDS_APPLET_NAME = 1;
inline constexpr int IDS_APPLET_INFO = 2;
inline constexpr int IDS_SHEET_CAPTION = 2000;
inline constexpr int IDS_SOCKETS_INIT_FAILED = 2004;

// Icon ids: the applet icon and the tab icons of the eight pages in page order.
inline constexpr int IDI_APPLET = 100;
inline constexpr std::array<int, 8> kTabIconIds = {156, 2022, 161, 2021, 2020, 168, 2025, 2026};

// The text of a string resource; empty for an unknown id.
std::string LoadResourceString(int id);
QString LoadQString(int id);

// The icon of an icon resource; a null icon for an unknown id.
QIcon LoadResourceIcon(int id);

// Icon handles as the Control Panel records carry them: LoadIconHandle
// issues a handle for an icon resource (0 for an unknown id) and
// IconFromHandle gives the icon back.
CPL_HICON LoadIconHandle(int id);
QIcon IconFromHandle(CPL_HICON handle);
int IconIdFromHandle(CPL_HICON handle);

// The caption of message boxes that name no caption of their own.
inline constexpr const char* kMessageCaption = "Kestrune Mail Service";

}  // namespace applet
