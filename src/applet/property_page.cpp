#include "applet/property_page.h"

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

}  // namespace applet
