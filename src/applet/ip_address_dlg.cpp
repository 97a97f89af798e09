#include "applet/ip_address_dlg.h"

#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QValidator>
#include <QVBoxLayout>

#include "applet/applet_ui.h"

namespace applet {
namespace {

// Keeps a part to what it can hold, whatever way the text comes in (typing,
// pasting, dropping).
class AddressPartValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    return IsAddressPartText(FromQ(input)) ? Acceptable : Invalid;
  }
};

// The Paste entry of a line edit's standard context menu: named so from Qt
// 6.5 on, known by its text (the line edit's own translation) before.
bool IsPasteAction(const QAction* action) {
  return action->objectName() == QStringLiteral("edit-paste") ||
         action->text().section(QLatin1Char('\t'), 0, 0) == QLineEdit::tr("&Paste");
}

// One part of an address. "." and a blank move on to the next part of the
// row; a dotted address pasted (Ctrl+V, Shift+Insert or the context menu)
// fills the row's four parts. Every other key is the line edit's own, so
// Enter and Esc reach the dialog and Ctrl+A/C/V/X/Z edit the part.
class CAddressPartEdit : public QLineEdit {
 public:
  CAddressPartEdit(QWidget* parent, std::array<QLineEdit*, 4>& row, std::size_t index)
      : QLineEdit(parent), m_row(row), m_nIndex(index) {
    setMaxLength(kAddressPartMaxChars);
    setValidator(new AddressPartValidator(this));
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->matches(QKeySequence::Paste)) {
      PasteAddress();
      return;
    }
    const QString typed = event->text();
    if (typed.size() == 1 && typed[0].unicode() < 0x80 && MovesToNextPart(static_cast<char>(typed[0].unicode()))) {
      if (m_nIndex + 1 < m_row.size()) {
        m_row[m_nIndex + 1]->setFocus(Qt::TabFocusReason);
        m_row[m_nIndex + 1]->selectAll();
      }
      return;
    }
    QLineEdit::keyPressEvent(event);
  }

  void contextMenuEvent(QContextMenuEvent* event) override {
    QMenu* menu = createStandardContextMenu();
    for (QAction* action : menu->actions()) {
      if (!IsPasteAction(action)) continue;
      disconnect(action, &QAction::triggered, this, nullptr);
      connect(action, &QAction::triggered, this, [this] { PasteAddress(); });
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
  }

 private:
  void PasteAddress() {
    const std::optional<AddressParts> parts = PastedAddressParts(FromQ(QGuiApplication::clipboard()->text()));
    if (!parts) {
      paste();
      return;
    }
    for (std::size_t i = 0; i < m_row.size(); ++i) m_row[i]->setText(ToQ((*parts)[i]));
    m_row.back()->setFocus(Qt::OtherFocusReason);
  }

  std::array<QLineEdit*, 4>& m_row;
  std::size_t m_nIndex;
};

constexpr int kPartWidthChars = 4;

QWidget* MakeAddressRow(QWidget* parent, std::array<QLineEdit*, 4>& edits, const char* name_prefix) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  for (std::size_t i = 0; i < edits.size(); ++i) {
    if (i > 0) layout->addWidget(new QLabel(QStringLiteral("."), row));
    auto* edit = new CAddressPartEdit(row, edits, i);
    edit->setObjectName(QString::fromLatin1(name_prefix) + QString::number(i + 1));
    edit->setAlignment(Qt::AlignCenter);
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * kPartWidthChars + 12);
    layout->addWidget(edit);
    edits[i] = edit;
  }
  layout->addStretch(1);
  return row;
}

}  // namespace

CIpAddressDlg::CIpAddressDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ipAddressDialog"));
  setWindowTitle(tr("Add IP address"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(tr("IP address:"), this), 0, 0);
  grid->addWidget(MakeAddressRow(this, m_arrStartEdits, "startPart"), 0, 1);
  m_pEndLabel = new QLabel(tr("End of the range:"), this);
  m_pEndLabel->setObjectName(QStringLiteral("endLabel"));
  m_pEndRow = MakeAddressRow(this, m_arrEndEdits, "endPart");
  grid->addWidget(m_pEndLabel, 1, 0);
  grid->addWidget(m_pEndRow, 1, 1);

  m_pRange = new QCheckBox(tr("Set IP range"), this);
  m_pRange->setObjectName(QStringLiteral("rangeCheck"));
  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(tr("&OK"), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("okButton"));
  ok->setDefault(true);
  QPushButton* cancel = buttons->addButton(tr("&Cancel"), QDialogButtonBox::RejectRole);
  cancel->setObjectName(QStringLiteral("cancelButton"));
  connect(buttons, &QDialogButtonBox::accepted, this, &CIpAddressDlg::OnOk);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  PlainButtons(buttons);
  connect(m_pRange, &QCheckBox::clicked, this, &CIpAddressDlg::OnRangeClicked);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(m_pRange);
  layout->addWidget(buttons);
  // The dialog takes the size of what is shown, so it shrinks and grows with
  // the range part.
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

int CIpAddressDlg::DoModal() {
  Prepare();
  return exec();
}

void CIpAddressDlg::Prepare() {
  if (!m_strTitle.empty()) setWindowTitle(ToQ(m_strTitle));
  m_form.Init(m_strStart, m_strEnd);
  if (!m_form.m_nRange) HideRangePart();
  UpdateData(false);
}

bool CIpAddressDlg::RangeShown() const { return m_form.m_nRange != 0; }

void CIpAddressDlg::UpdateData(bool save) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (save) {
      m_form.m_arrStart[i] = FromQ(m_arrStartEdits[i]->text());
      m_form.m_arrEnd[i] = FromQ(m_arrEndEdits[i]->text());
    } else {
      m_arrStartEdits[i]->setText(ToQ(m_form.m_arrStart[i]));
      m_arrEndEdits[i]->setText(ToQ(m_form.m_arrEnd[i]));
    }
  }
  if (!save) m_pRange->setChecked(m_form.m_nRange != 0);
}

void CIpAddressDlg::ShowRangePart() {
  UpdateData(true);
  m_form.ShowRange();
  UpdateData(false);
  m_pEndLabel->show();
  m_pEndRow->show();
}

void CIpAddressDlg::HideRangePart() {
  m_pEndLabel->hide();
  m_pEndRow->hide();
  m_form.HideRange();
  m_pRange->setChecked(false);
}

void CIpAddressDlg::OnRangeClicked() {
  if (m_form.m_nRange == 0)
    ShowRangePart();
  else
    HideRangePart();
}

void CIpAddressDlg::OnOk() {
  UpdateData(true);
  m_strStart = m_form.StartText();
  m_strEnd = m_form.EndText();
  accept();
}

}  // namespace applet
