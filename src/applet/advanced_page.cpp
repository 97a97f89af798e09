#include "applet/advanced_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "applet/applet_ui.h"
#include "applet/entry_dialogs.h"
#include "applet/up_down_control.h"

namespace applet {
namespace {

constexpr int kNumberFieldChars = 7;

QLineEdit* NumberField(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * kNumberFieldChars + 12);
  return edit;
}

}  // namespace

CAdvancedPage::CAdvancedPage() : CPropertyPage(tr("Advanced")), m_arrBlocked(BlockedSendersFormat()) {
  setObjectName(QStringLiteral("advancedPage"));
  m_settings.Load();
}

void CAdvancedPage::OnInitDialog() {
  auto* server = new QGroupBox(tr("Server"), this);
  auto* server_grid = new QGridLayout(server);
  const auto add_number = [&](int row, const QString& label, const char* edit_name, const char* spin_name,
                              QLineEdit*& edit, CUpDownControl*& spin) {
    edit = NumberField(server, edit_name);
    spin = new CUpDownControl(edit, kAdvancedSpinMin, kAdvancedSpinMax, server);
    spin->setObjectName(QString::fromLatin1(spin_name));
    auto* text = new QLabel(label, server);
    text->setBuddy(edit);
    auto* field = new QHBoxLayout;
    field->setSpacing(0);
    field->addWidget(edit);
    field->addWidget(spin);
    field->addStretch(1);
    server_grid->addWidget(text, row, 0);
    server_grid->addLayout(field, row, 1);
  };
  add_number(0, tr("&Max. connections:"), "connectionsEdit", "connectionsSpin", m_pConnections, m_pConnectionsSpin);
  // The service takes the time-out as seconds.
  add_number(1, tr("&Timeout (seconds):"), "timeoutEdit", "timeoutSpin", m_pTimeout, m_pTimeoutSpin);
  server_grid->setColumnStretch(1, 1);

  auto* smtp = new QGroupBox(tr("SMTP"), this);
  auto* smtp_layout = new QVBoxLayout(smtp);
  m_pAuthRemote = new QCheckBox(tr("Authentication required for &non-local recipients."), smtp);
  m_pAuthRemote->setObjectName(QStringLiteral("authRemoteCheck"));
  m_pAuthLocal = new QCheckBox(tr("Authentication required for &local recipients."), smtp);
  m_pAuthLocal->setObjectName(QStringLiteral("authLocalCheck"));
  smtp_layout->addWidget(m_pAuthRemote);
  smtp_layout->addWidget(m_pAuthLocal);
  auto* catch_all_row = new QHBoxLayout;
  m_pCatchAll = new QComboBox(smtp);
  m_pCatchAll->setObjectName(QStringLiteral("catchAllCombo"));
  m_pCatchAll->setMinimumContentsLength(16);
  auto* catch_all_label = new QLabel(tr("&Catch All Account:"), smtp);
  catch_all_label->setBuddy(m_pCatchAll);
  catch_all_row->addWidget(catch_all_label);
  catch_all_row->addWidget(m_pCatchAll);
  catch_all_row->addStretch(1);
  smtp_layout->addLayout(catch_all_row);
  smtp_layout->addWidget(new QLabel(tr("Block mail from:"), smtp));
  const ListWithButtons parts = MakeListWithButtons(smtp, {tr("Email Address")}, QStringLiteral("blockedList"));
  m_pBlockedList = parts.list;
  smtp_layout->addWidget(parts.box, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(server);
  layout->addWidget(smtp, 1);

  m_pEditor = new CListEditor(
      m_arrBlocked, m_pBlockedList,
      [this](const QString& caption, const ListRow& row) -> std::optional<ListRow> {
        CEmailAddressDlg dialog(this);
        dialog.m_strCaption = FromQ(caption);
        dialog.m_strAddress = row[0];
        if (dialog.DoModal() != QDialog::Accepted) return std::nullopt;
        return ListRow{dialog.m_strAddress};
      },
      tr("Add Email Address"), tr("Email Address"), this);
  ConnectListButtons(parts, m_pEditor, this, false);
  m_pEditor->Load();

  UpdateData(false);
  for (QLineEdit* edit : {m_pConnections, m_pTimeout})
    connect(edit, &QLineEdit::textChanged, this, [this] { SetModified(); });
  for (QCheckBox* check : {m_pAuthRemote, m_pAuthLocal})
    connect(check, &QCheckBox::clicked, this, [this] { SetModified(); });
  // Only a choice of the user is stored, not the refilling of the combo.
  connect(m_pCatchAll, &QComboBox::activated, this, [this] {
    SaveCatchAllAccount(FromQ(m_pCatchAll->currentText()));
    SetModified();
    ReloadService();
  });
}

void CAdvancedPage::OnSetActive() { FillCatchAllCombo(); }

void CAdvancedPage::FillCatchAllCombo() {
  const std::optional<CatchAllChoices> choices = ReadCatchAllChoices();
  if (!choices) return;
  m_pCatchAll->clear();
  for (const std::string& name : choices->names) m_pCatchAll->addItem(ToQ(name));
  m_pCatchAll->setCurrentIndex(choices->selected);
}

bool CAdvancedPage::UpdateData(bool save) {
  if (m_pConnections == nullptr) return true;
  if (!save) {
    m_pConnections->setText(QString::number(m_settings.m_nConnectionsLimit));
    m_pAuthRemote->setChecked(m_settings.m_bAuthRemote != 0);
    m_pTimeout->setText(QString::number(m_settings.m_nTimeout));
    m_pAuthLocal->setChecked(m_settings.m_bAuthLocal != 0);
    return true;
  }
  if (!ExchangeInt(m_pConnections, m_settings.m_nConnectionsLimit)) return false;
  m_settings.m_bAuthRemote = m_pAuthRemote->isChecked() ? 1 : 0;
  if (!ExchangeInt(m_pTimeout, m_settings.m_nTimeout)) return false;
  m_settings.m_bAuthLocal = m_pAuthLocal->isChecked() ? 1 : 0;
  return true;
}

bool CAdvancedPage::OnOK() {
  if (!AcceptListSize(m_arrBlocked.TooLargeText())) return false;
  if (!UpdateData(true)) return false;
  m_settings.Save();
  return true;
}

}  // namespace applet
