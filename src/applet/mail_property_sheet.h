// CMailPropertySheet: the applet's modal property sheet with its eight pages
// in tab order General, Advanced, User Accounts, Domains, Forward Rules,
// Relay, IP Filter and Encryption, each tab with its own icon; OK, Cancel and Apply (no
// Help). Apply makes every built page save and then signals "Mail Service
// Event" at once; OK does the same save, and the caller signals the event
// when the sheet has closed (ShowConfiguration); Cancel signals nothing, but
// what Apply or the list pages stored stays stored.
//
// When the settings hive cannot be written (the applet runs without the
// rights of the service's administrator), the sheet says so once when it
// opens, and opens all the same.
#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <string>

class QDialogButtonBox;
class QPushButton;
class QTabWidget;

namespace applet {

class CPropertyPage;
class CGeneralPage;
class CAdvancedPage;
class CRelayPage;
class CIpFilterPage;
class CDomainsPage;
class CUserAccountPage;
class CForwardRulesPage;
class CEncryptionPage;

inline constexpr const char* kNoAdminRightsText =
    "Administrator rights are needed to change the mail service settings.";
// A user other than the service's own (the hive is 0600) reads nothing:
// the pages then show defaults, not the service's settings.
std::string HiveUnreadableText();
inline constexpr int kPageCount = 8;

class CMailPropertySheet : public QDialog {
  Q_OBJECT

 public:
  explicit CMailPropertySheet(QWidget* parent = nullptr);
  ~CMailPropertySheet() override;

  // The pages in tab order.
  CPropertyPage* Page(int index) const { return m_arrTabOrder[static_cast<std::size_t>(index)]; }
  QTabWidget* Tabs() const { return m_pTabs; }

  // Replace the checks of the hive's write and read access (tests); call
  // before show.
  void SetHiveWritableCheck(std::function<bool()> check) { m_fnHiveWritable = std::move(check); }
  void SetHiveReadableCheck(std::function<bool()> check) { m_fnHiveReadable = std::move(check); }

  // The sheet's Apply: save every built page; true when all saved.
  bool ApplyPages();

 protected:
  void showEvent(QShowEvent* event) override;

 private slots:
  void OnApplyNow();
  void OnOk();
  void OnTabChanged(int index);
  void OnPageModified();

 private:
  void AddPage(CPropertyPage* page, int icon_id);

  // Pages in declaration order; the sheet's tab widget owns them.
  CGeneralPage* m_pGeneralPage;
  CAdvancedPage* m_pAdvancedPage;
  CRelayPage* m_pRelayPage;
  CIpFilterPage* m_pIpFilterPage;
  CDomainsPage* m_pDomainsPage;
  CUserAccountPage* m_pUserAccountPage;
  CForwardRulesPage* m_pForwardRulesPage;
  CEncryptionPage* m_pEncryptionPage;

  std::array<CPropertyPage*, kPageCount> m_arrTabOrder{};
  QTabWidget* m_pTabs = nullptr;
  QDialogButtonBox* m_pButtons = nullptr;
  QPushButton* m_pApplyButton = nullptr;
  int m_nActivePage = -1;
  bool m_bShownOnce = false;
  std::function<bool()> m_fnHiveWritable;
  std::function<bool()> m_fnHiveReadable;
};

// Runs the sheet modally, as the applet's double-click does, and signals the
// reload event when it ends with OK. Returns the dialog's result.
int ShowConfiguration(QWidget* parent = nullptr);

}  // namespace applet
