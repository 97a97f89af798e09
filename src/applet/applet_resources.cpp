#include "applet/applet_resources.h"

#include <QIcon>
#include <QString>

namespace applet {
namespace {

struct IconResource {
  int id;
  const char* name;  // file below :/icons/, without ".png"
};

// The applet icon also comes in 32 x 32 ("applet_32.png") for large views.
constexpr IconResource kIcons[] = {
    {IDI_APPLET, "applet"}, {156, "general"},  {2022, "advanced"}, {161, "accounts"},
    {2021, "domains"},      {2020, "forward"}, {168, "relay"},     {2025, "ipfilter"},
    {2026, "encryption"},
};

const IconResource* FindIcon(int id) {
  for (const IconResource& icon : kIcons)
    if (icon.id == id) return &icon;
  return nullptr;
}

}  // namespace

std::string LoadResourceString(int id) {
  switch (id) {
    case IDS_APPLET_NAME: return "Kestrune Mail Service";
    case IDS_APPLET_INFO: return "Configuration Applet for Kestrune Mail Service";
    case IDS_SHEET_CAPTION: return "Kestrune Mail Service Configuration";
    case IDS_SOCKETS_INIT_FAILED: return "Windows sockets initialization failed.";
    default: return std::string();
  }
}

QString LoadQString(int id) { return QString::fromStdString(LoadResourceString(id)); }

QIcon LoadResourceIcon(int id) {
  const IconResource* icon = FindIcon(id);
  if (icon == nullptr) return QIcon();
  QIcon result;
  const QString base = QStringLiteral(":/icons/") + QString::fromLatin1(icon->name);
  result.addFile(base + QStringLiteral(".png"));
  if (id == IDI_APPLET) result.addFile(base + QStringLiteral("_32.png"));
  return result;
}

// A handle is the icon's position in kIcons plus one, so that it needs no
// allocation and stays valid for the life of the library.
CPL_HICON LoadIconHandle(int id) {
  for (std::size_t i = 0; i < std::size(kIcons); ++i)
    if (kIcons[i].id == id) return static_cast<CPL_HICON>(i + 1);
  return 0;
}

int IconIdFromHandle(CPL_HICON handle) {
  if (handle == 0 || handle > std::size(kIcons)) return 0;
  return kIcons[handle - 1].id;
}

QIcon IconFromHandle(CPL_HICON handle) {
  const int id = IconIdFromHandle(handle);
  return id ? LoadResourceIcon(id) : QIcon();
}

}  // namespace applet
