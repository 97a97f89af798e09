#include "applet/property_page.h"

#include <QTimer>

#include "admin/service_control.h"
#include "applet/admin_names.h"
#include "applet/applet_ui.h"

namespace applet {

CPropertyPage::CPropertyPage(const QString& title) : m_strTitle(title) {}

void CPropertyPage::Create() {
  if (m_bCreated) return;
  m_bCreated = true;
  OnInitDialog();
}

void CPropertyPage::SetModified(bool modified) {
  if (m_bModified == modified) return;
  m_bModified = modified;
  emit modifiedChanged();
}

void CPropertyPage::ShowUnreadableList(const std::string& problem, const std::vector<QWidget*>& controls) {
  for (QWidget* control : controls) control->setEnabled(false);
  // Not from inside the tab switch that builds the page.
  QTimer::singleShot(0, this, [this, problem] { ShowMessage(this, ToQ(problem), m_strTitle, QMessageBox::Warning); });
}

void CPropertyPage::ReloadService() { SignalReloadEvent(); }

bool CPropertyPage::AcceptListSize(const std::optional<std::string>& too_large) {
  if (!too_large) return true;
  ShowMessage(this, ToQ(*too_large), m_strTitle, QMessageBox::Warning);
  return false;
}

}  // namespace applet
