// CRelayPage ("Relay"): relaying on or off, HELO host name, recipient limit,
// DNS server and outbound time-out (stored on Apply/OK; the five controls
// and the DNS test are enabled only while relaying is on), the pre-defined
// DNS records (stored at once after every change), and "Test DNS...", which
// asks the DNS server last taken from the page for a domain's MX records.
#pragma once

#include <string>
#include <vector>

#include "admin/relay_settings.h"
#include "admin/stored_list.h"
#include "applet/admin_names.h"
#include "applet/list_editor.h"
#include "applet/property_page.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace applet {

inline constexpr int kDnsPort = 53;

// The lookup the DNS test runs: server, domain, results, error text; false
// when the lookup could not start. Tests may put their own in its place.
using DnsLookup = std::function<bool(const std::string& server, const std::string& domain,
                                     std::vector<std::string>& results, std::string& error)>;

class CRelayPage : public CPropertyPage {
  Q_OBJECT

 public:
  CRelayPage();
  const CRelaySettings& Settings() const { return m_settings; }
  // Replaces the resolver's lookup (tests).
  void SetDnsLookup(DnsLookup lookup) { m_fnLookup = std::move(lookup); }

  bool OnOK() override;

 protected:
  void OnInitDialog() override;
  bool UpdateData(bool save) override;

 private slots:
  void OnRelayClicked();
  void OnTestDns();

 private:
  void EnableSettings();

  CStoredList m_arrRecords;
  QTreeWidget* m_pRecordsList = nullptr;
  CRelaySettings m_settings;
  CListEditor* m_pEditor = nullptr;
  QCheckBox* m_pRelay = nullptr;
  QLineEdit* m_pHostName = nullptr;
  QLineEdit* m_pMaxRecipients = nullptr;
  QLineEdit* m_pDnsServer = nullptr;
  QLineEdit* m_pTimeout = nullptr;
  QPushButton* m_pTestDns = nullptr;
  std::vector<QWidget*> m_arrSettingsControls;
  DnsLookup m_fnLookup;
};

// The resolver's own lookup, run on a thread of its own while the caller's
// window stays painted (user input waits until it is done). `port` is the
// DNS port, 53 but in tests.
bool ResolverLookup(const std::string& server, const std::string& domain, std::vector<std::string>& results,
                    std::string& error, int port = kDnsPort);

}  // namespace applet
