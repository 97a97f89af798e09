#include "applet/up_down_control.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "admin/advanced_settings.h"
#include "applet/admin_names.h"
#include "applet/applet_ui.h"

namespace applet {

CUpDownControl::CUpDownControl(QLineEdit* buddy, int low, int high, QWidget* parent)
    : QWidget(parent), m_pBuddy(buddy), m_nLow(low), m_nHigh(high) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  const int arrow_height = std::max(8, buddy->sizeHint().height() / 2);
  const auto make = [&](Qt::ArrowType arrow, const char* name, int delta) {
    auto* button = new QToolButton(this);
    button->setObjectName(QString::fromLatin1(name));
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFixedSize(arrow_height + 6, arrow_height);
    connect(button, &QToolButton::clicked, this, [this, delta] { StepBy(delta); });
    layout->addWidget(button);
  };
  make(Qt::UpArrow, "upArrow", +1);
  make(Qt::DownArrow, "downArrow", -1);
  buddy->installEventFilter(this);
}

void CUpDownControl::StepBy(int delta) {
  m_pBuddy->setText(QString::number(UpDownStep(FromQ(m_pBuddy->text()), delta, m_nLow, m_nHigh)));
}

bool CUpDownControl::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_pBuddy && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      StepBy(key == Qt::Key_Up ? 1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace applet
