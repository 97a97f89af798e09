// CDomainsPage ("Domains") and CForwardRulesPage ("Forward Rules"): the
// local domains and the forward rules (From, To), each list stored at once
// after every change; Apply and OK only say when a list is too large for
// the service, and Cancel has nothing left to do.
#pragma once

#include "admin/stored_list.h"
#include "applet/admin_names.h"
#include "applet/list_editor.h"
#include "applet/property_page.h"

namespace applet {

class CDomainsPage : public CPropertyPage {
  Q_OBJECT

 public:
  CDomainsPage();
  const CStoredList& Domains() const { return m_arrDomains; }
  // The list is stored already; Apply and OK only check its size.
  bool OnOK() override { return AcceptListSize(m_arrDomains.TooLargeText()); }

 protected:
  void OnInitDialog() override;

 private:
  CStoredList m_arrDomains;
  CListEditor* m_pEditor = nullptr;
};

}  // namespace applet
