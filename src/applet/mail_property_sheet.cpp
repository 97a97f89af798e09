#include "applet/mail_property_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QShowEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "admin/service_control.h"
#include "applet/admin_names.h"
#include "applet/advanced_page.h"
#include "applet/applet_resources.h"
#include "applet/applet_ui.h"
#include "applet/domains_page.h"
#include "applet/encryption_page.h"
#include "applet/forward_rules_page.h"
#include "applet/general_page.h"
#include "applet/ip_filter_page.h"
#include "applet/relay_page.h"
#include "applet/user_account_page.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace applet {

// The page area measures 400 x 186 dialog units of the classic dialog font.
constexpr int kPageWidthPixels = 600;
constexpr int kPageHeightPixels = 330;

CMailPropertySheet::CMailPropertySheet(QWidget* parent)
    : QDialog(parent),
      m_pGeneralPage(new CGeneralPage),
      m_pAdvancedPage(new CAdvancedPage),
      m_pRelayPage(new CRelayPage),
      m_pIpFilterPage(new CIpFilterPage),
      m_pDomainsPage(new CDomainsPage),
      m_pUserAccountPage(new CUserAccountPage),
      m_pForwardRulesPage(new CForwardRulesPage),
      m_pEncryptionPage(new CEncryptionPage),
      m_fnHiveWritable(platform::HiveIsWritable),
      m_fnHiveReadable(platform::HiveIsReadable) {
  setObjectName(QStringLiteral("mailPropertySheet"));
  setWindowTitle(LoadQString(IDS_SHEET_CAPTION));
  setWindowIcon(LoadResourceIcon(IDI_APPLET));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  m_pTabs = new QTabWidget(this);
  m_pTabs->setObjectName(QStringLiteral("tabs"));
  m_pTabs->setIconSize(QSize(16, 16));
  m_pTabs->setUsesScrollButtons(false);
  m_pTabs->setMinimumSize(kPageWidthPixels, kPageHeightPixels);

  const std::array<CPropertyPage*, kPageCount> order = {
      m_pGeneralPage,   m_pAdvancedPage, m_pUserAccountPage, m_pDomainsPage,
      m_pForwardRulesPage, m_pRelayPage,  m_pIpFilterPage,    m_pEncryptionPage};
  for (std::size_t i = 0; i < order.size(); ++i) AddPage(order[i], kTabIconIds[i]);
  m_arrTabOrder = order;
  // Every tab stays readable: the sheet is at least as wide as its tab row.
  constexpr int kTabRowMargin = 16;
  m_pTabs->setMinimumWidth(std::max(kPageWidthPixels, m_pTabs->tabBar()->sizeHint().width() + kTabRowMargin));

  m_pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply,
                                    this);
  m_pButtons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
  m_pButtons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
  m_pApplyButton = m_pButtons->button(QDialogButtonBox::Apply);
  m_pApplyButton->setObjectName(QStringLiteral("applyButton"));
  m_pApplyButton->setText(tr("&Apply"));
  m_pApplyButton->setEnabled(false);
  connect(m_pButtons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, &CMailPropertySheet::OnOk);
  connect(m_pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_pApplyButton, &QPushButton::clicked, this, &CMailPropertySheet::OnApplyNow);

  PlainButtons(m_pButtons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pTabs);
  layout->addWidget(m_pButtons);

  // The first tab is shown when the sheet opens.
  m_pTabs->setCurrentIndex(0);
  OnTabChanged(0);
  connect(m_pTabs, &QTabWidget::currentChanged, this, &CMailPropertySheet::OnTabChanged);
}

CMailPropertySheet::~CMailPropertySheet() { m_pTabs->disconnect(this); }

void CMailPropertySheet::AddPage(CPropertyPage* page, int icon_id) {
  m_pTabs->addTab(page, LoadResourceIcon(icon_id), page->Title());
  connect(page, &CPropertyPage::modifiedChanged, this, &CMailPropertySheet::OnPageModified);
}

void CMailPropertySheet::OnTabChanged(int index) {
  if (index < 0 || index == m_nActivePage) return;
  if (m_nActivePage >= 0) {
    CPropertyPage* leaving = Page(m_nActivePage);
    if (leaving->IsCreated() && !leaving->OnKillActive()) {
      // The page refused to be left: show it again.
      QSignalBlocker block(m_pTabs);
      m_pTabs->setCurrentIndex(m_nActivePage);
      return;
    }
  }
  m_nActivePage = index;
  CPropertyPage* page = Page(index);
  page->Create();
  page->OnSetActive();
}

void CMailPropertySheet::OnPageModified() {
  bool any = false;
  for (CPropertyPage* page : m_arrTabOrder) any = any || page->IsModified();
  m_pApplyButton->setEnabled(any);
}

bool CMailPropertySheet::ApplyPages() {
  if (m_nActivePage >= 0 && !Page(m_nActivePage)->OnKillActive()) return false;
  for (int i = 0; i < kPageCount; ++i) {
    CPropertyPage* page = Page(i);
    if (!page->IsCreated()) continue;
    if (!page->OnApply()) {
      if (i != m_nActivePage) {
        QSignalBlocker block(m_pTabs);
        m_pTabs->setCurrentIndex(i);
        m_nActivePage = i;
      }
      return false;
    }
  }
  for (CPropertyPage* page : m_arrTabOrder) page->SetModified(false);
  return true;
}

void CMailPropertySheet::OnApplyNow() {
  ApplyPages();
  SignalReloadEvent();
}

void CMailPropertySheet::OnOk() {
  if (ApplyPages()) accept();
}

void CMailPropertySheet::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (m_bShownOnce) return;
  m_bShownOnce = true;
  // Said once, after the sheet is on the screen; the sheet stays usable.
  if (m_fnHiveReadable && !m_fnHiveReadable()) {
    QTimer::singleShot(0, this, [this] {
      ShowMessage(this, ToQ(HiveUnreadableText()), windowTitle(), QMessageBox::Warning);
    });
  } else if (m_fnHiveWritable && !m_fnHiveWritable()) {
    QTimer::singleShot(0, this, [this] {
      ShowMessage(this, QString::fromLatin1(kNoAdminRightsText), windowTitle(), QMessageBox::Warning);
    });
  }
}

std::string HiveUnreadableText() {
  return "The mail service settings cannot be read: this user may not read " + platform::StateRoot() +
         "/registry.db. Run the configuration as root or as the service's user; the values shown are "
         "defaults, not the service's.";
}

int ShowConfiguration(QWidget* parent) {
  CMailPropertySheet sheet(parent);
  const int result = sheet.exec();
  if (result == QDialog::Accepted) SignalReloadEvent();
  return result;
}

}  // namespace applet
