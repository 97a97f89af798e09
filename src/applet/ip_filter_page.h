// CIpFilterPage ("IP Filter"): the filter mode (stored on Apply/OK) and the
// addresses and ranges (stored at once after every change), each row a
// start and an end, the end equal to the start for a single address.
#pragma once

#include <array>

#include "admin/stored_list.h"
#include "applet/admin_names.h"
#include "applet/list_editor.h"
#include "applet/property_page.h"

class QRadioButton;
class QTreeWidget;

namespace applet {

class CIpFilterPage : public CPropertyPage {
  Q_OBJECT

 public:
  CIpFilterPage();
  int Mode() const { return m_nMode; }

  bool OnOK() override;

 protected:
  void OnInitDialog() override;
  bool UpdateData(bool save) override;

 private:
  CStoredList m_arrAddresses;
  QTreeWidget* m_pList = nullptr;
  int m_nMode = 0;
  std::array<QRadioButton*, 3> m_arrModes{};
  CListEditor* m_pEditor = nullptr;
};

}  // namespace applet
