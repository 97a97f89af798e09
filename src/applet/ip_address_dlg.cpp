#include "applet/ip_address_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "applet/applet_ui.h"

namespace applet {
namespace {

// Swallows every typed character that an address part does not accept;
// keys without a character (arrows, Delete) pass.
class AddressPartFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const QString typed = static_cast<QKeyEvent*>(event)->text();
      if (typed.size() == 1 && typed[0].unicode() < 0x80 && !IsAddressPartChar(static_cast<char>(typed[0].unicode())))
        return true;
      if (typed.size() == 1 && typed[0].unicode() >= 0x80) return true;
    }
    return QObject::eventFilter(watched, event);
  }
};

constexpr int kPartWidthChars = 4;

QWidget* MakeAddressRow(QWidget* parent, std::array<QLineEdit*, 4>& edits, const char* name_prefix,
                        AddressPartFilter* filter) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  for (std::size_t i = 0; i < edits.size(); ++i) {
    if (i > 0) layout->addWidget(new QLabel(QStringLiteral("."), row));
    auto* edit = new QLineEdit(row);
    edit->setObjectName(QString::fromLatin1(name_prefix) + QString::number(i + 1));
    edit->setMaxLength(kAddressPartMaxChars);
    edit->setAlignment(Qt::AlignCenter);
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * kPartWidthChars + 12);
    edit->installEventFilter(filter);
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
  auto* filter = new AddressPartFilter(this);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(tr("IP address:"), this), 0, 0);
  grid->addWidget(MakeAddressRow(this, m_arrStartEdits, "startPart", filter), 0, 1);
  m_pEndLabel = new QLabel(tr("End of the range:"), this);
  m_pEndLabel->setObjectName(QStringLiteral("endLabel"));
  m_pEndRow = MakeAddressRow(this, m_arrEndEdits, "endPart", filter);
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
