// CAdvancedPage ("Advanced"): connection limit and session time-out with
// their up-down arrows, the two authentication rules (stored on Apply/OK),
// the catch-all account (refilled from the accounts each time the page is
// shown, stored at once when the user picks one) and the blocked senders
// (stored at once after every change).
#pragma once

#include "admin/advanced_settings.h"
#include "admin/stored_list.h"
#include "applet/admin_names.h"
#include "applet/list_editor.h"
#include "applet/property_page.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTreeWidget;

namespace applet {

class CUpDownControl;

class CAdvancedPage : public CPropertyPage {
  Q_OBJECT

 public:
  CAdvancedPage();
  const CAdvancedSettings& Settings() const { return m_settings; }

  void OnSetActive() override;
  bool OnOK() override;

 protected:
  void OnInitDialog() override;
  bool UpdateData(bool save) override;

 private:
  void FillCatchAllCombo();

  QTreeWidget* m_pBlockedList = nullptr;
  CUpDownControl* m_pTimeoutSpin = nullptr;
  CUpDownControl* m_pConnectionsSpin = nullptr;
  QComboBox* m_pCatchAll = nullptr;
  QLineEdit* m_pConnections = nullptr;
  QCheckBox* m_pAuthRemote = nullptr;
  QLineEdit* m_pTimeout = nullptr;
  QCheckBox* m_pAuthLocal = nullptr;
  CAdvancedSettings m_settings;
  CStoredList m_arrBlocked;
  CListEditor* m_pEditor = nullptr;
};

}  // namespace applet
