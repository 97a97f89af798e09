#include "applet/ip_filter_page.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "admin/ip_filter.h"
#include "applet/admin_names.h"
#include "applet/applet_ui.h"
#include "applet/ip_address_dlg.h"

namespace applet {

CIpFilterPage::CIpFilterPage() : CPropertyPage(tr("IP Filter")), m_arrAddresses(IpFilterFormat()) {
  setObjectName(QStringLiteral("ipFilterPage"));
  m_nMode = ReadIpFilterMode();
}

void CIpFilterPage::OnInitDialog() {
  auto* layout = new QVBoxLayout(this);
  const QString texts[] = {tr("Do not use IP &Filter."), tr("Do &not accept connections from specified IP addresses."),
                           tr("Accept &connections only from specified IP addresses.")};
  const char* const names[] = {"modeOffRadio", "modeRefuseRadio", "modeOnlyRadio"};
  auto* group = new QButtonGroup(this);
  for (std::size_t i = 0; i < m_arrModes.size(); ++i) {
    m_arrModes[i] = new QRadioButton(texts[i], this);
    m_arrModes[i]->setObjectName(QString::fromLatin1(names[i]));
    group->addButton(m_arrModes[i], static_cast<int>(i));
    layout->addWidget(m_arrModes[i]);
    connect(m_arrModes[i], &QRadioButton::clicked, this, [this] { SetModified(); });
  }
  const ListWithButtons parts = MakeListWithButtons(this, {tr("IP Address"), tr("IP Address (end of range)")},
                                                    QStringLiteral("addressesList"));
  m_pList = parts.list;
  layout->addWidget(parts.box, 1);

  m_pEditor = new CListEditor(
      m_arrAddresses, m_pList,
      [this](const QString& caption, const ListRow& row) -> std::optional<ListRow> {
        CIpAddressDlg dialog(this);
        dialog.m_strTitle = FromQ(caption);
        dialog.m_strStart = row[0];
        dialog.m_strEnd = row[1];
        if (dialog.DoModal() != QDialog::Accepted) return std::nullopt;
        return ListRow{dialog.m_strStart, EntryEnd(dialog.m_strStart, dialog.m_strEnd)};
      },
      tr("Add IP address"), tr("Edit IP address"), this);
  ConnectListButtons(parts, m_pEditor, this, true);
  m_pEditor->Load();
  UpdateData(false);
}

bool CIpFilterPage::UpdateData(bool save) {
  if (m_arrModes[0] == nullptr) return true;
  for (std::size_t i = 0; i < m_arrModes.size(); ++i) {
    if (save && m_arrModes[i]->isChecked()) m_nMode = static_cast<int>(i);
    if (!save) m_arrModes[i]->setChecked(m_nMode == static_cast<int>(i));
  }
  return true;
}

bool CIpFilterPage::OnOK() {
  if (!AcceptListSize(m_arrAddresses.TooLargeText())) return false;
  UpdateData(true);
  SaveIpFilterMode(m_nMode);
  return true;
}

}  // namespace applet
