#include "applet/domains_page.h"

#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "applet/applet_ui.h"
#include "applet/entry_dialogs.h"
#include "applet/forward_rules_page.h"

namespace applet {
CDomainsPage::CDomainsPage() : CPropertyPage(tr("Domains")), m_arrDomains(DomainsFormat()) {
  setObjectName(QStringLiteral("domainsPage"));
}

void CDomainsPage::OnInitDialog() {
  const ListWithButtons parts = MakeListWithButtons(this, {tr("Domain")}, QStringLiteral("domainsList"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(parts.box);
  m_pEditor = new CListEditor(
      m_arrDomains, parts.list,
      [this](const QString& caption, const ListRow& row) -> std::optional<ListRow> {
        CDomainDlg dialog(this);
        dialog.m_strCaption = FromQ(caption);
        dialog.m_strDomain = row[0];
        if (dialog.DoModal() != QDialog::Accepted) return std::nullopt;
        return ListRow{dialog.m_strDomain};
      },
      tr("Add Domain"), tr("Edit Domain"), this);
  ConnectListButtons(parts, m_pEditor, this, true);
  m_pEditor->Load();
}

CForwardRulesPage::CForwardRulesPage() : CPropertyPage(tr("Forward Rules")), m_arrRules(ForwardRulesFormat()) {
  setObjectName(QStringLiteral("forwardRulesPage"));
}

void CForwardRulesPage::OnInitDialog() {
  const ListWithButtons parts = MakeListWithButtons(this, {tr("From"), tr("To")}, QStringLiteral("rulesList"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(parts.box);
  m_pEditor = new CListEditor(
      m_arrRules, parts.list,
      [this](const QString& caption, const ListRow& row) -> std::optional<ListRow> {
        CForwardRuleDlg dialog(this);
        dialog.m_strCaption = FromQ(caption);
        dialog.m_strFrom = row[0];
        dialog.m_strTo = row[1];
        if (dialog.DoModal() != QDialog::Accepted) return std::nullopt;
        return ListRow{dialog.m_strFrom, dialog.m_strTo};
      },
      tr("Add Forward Rule"), tr("Edit Forward Rule"), this);
  ConnectListButtons(parts, m_pEditor, this, true);
  m_pEditor->Load();
}

}  // namespace applet
