// CUpDownControl: the two arrows beside a number field. Each click (or the
// Up and Down keys in the field) sets the field to the next number within
// the control's range, written without thousands separators; the field
// itself still takes any text, and a typed number outside the range is kept
// as typed.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

namespace applet {

class CUpDownControl : public QWidget {
  Q_OBJECT

 public:
  CUpDownControl(QLineEdit* buddy, int low, int high, QWidget* parent);
  void StepBy(int delta);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLineEdit* m_pBuddy;
  int m_nLow;
  int m_nHigh;
};

}  // namespace applet
