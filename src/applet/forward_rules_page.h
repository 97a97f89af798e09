// CForwardRulesPage ("Forward Rules"): see domains_page.h.
#pragma once

#include "admin/stored_list.h"
#include "applet/admin_names.h"
#include "applet/list_editor.h"
#include "applet/property_page.h"

namespace applet {

class CForwardRulesPage : public CPropertyPage {
  Q_OBJECT

 public:
  CForwardRulesPage();
  const CStoredList& Rules() const { return m_arrRules; }
  bool OnOK() override { return AcceptListSize(m_arrRules.TooLargeText()); }

 protected:
  void OnInitDialog() override;

 private:
  CStoredList m_arrRules;
  CListEditor* m_pEditor = nullptr;
};

}  // namespace applet
