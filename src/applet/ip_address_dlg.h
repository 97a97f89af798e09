// CIpAddressDlg: one address or a range, typed as four parts of at most
// three characters each; only digits and "*" get into a part, "." and a
// blank move on to the next part, and a pasted dotted address fills all
// four. Enter and Esc are the dialog's OK and Cancel. Ticking "Set IP range"
// shows the end parts, filled from the start, and unticking hides them
// again (the dialog shrinks and grows with them).
#pragma once

#include <QDialog>
#include <array>
#include <string>

#include "admin/ip_filter.h"
#include "applet/admin_names.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace applet {

class CIpAddressDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CIpAddressDlg(QWidget* parent);

  // Runs the dialog with the members shown; on OK the addresses are taken
  // back: m_strEnd is empty unless a range is set.
  int DoModal();
  // DoModal's first step: title, parts and range part as the members say.
  void Prepare();

  std::string m_strTitle;
  std::string m_strStart;
  std::string m_strEnd;

  bool RangeShown() const;

 private:
  void OnRangeClicked();
  void OnOk();
  void ShowRangePart();
  void HideRangePart();
  void UpdateData(bool save);

  CIpAddressForm m_form;
  std::array<QLineEdit*, 4> m_arrStartEdits{};
  std::array<QLineEdit*, 4> m_arrEndEdits{};
  QLabel* m_pEndLabel = nullptr;
  QWidget* m_pEndRow = nullptr;
  QCheckBox* m_pRange = nullptr;
};

}  // namespace applet
