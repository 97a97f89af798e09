// CGeneralPage, the "General" tab: ports, mail folder, server
// identification, log level and log folder (stored on Apply/OK), the trace
// log viewer, and the state of the installed service with Start and Stop,
// polled once a second.
#pragma once

#include "admin/general_settings.h"
#include "admin/service_control.h"
#include "applet/admin_names.h"
#include "applet/property_page.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace applet {

inline constexpr int kStatusTimerId = 1;
inline constexpr int kStatusPollMs = 1000;

class CGeneralPage : public CPropertyPage {
  Q_OBJECT

 public:
  // Reads the six settings; `service` is the service manager to poll.
  explicit CGeneralPage(ServiceManagerAccess service = ServiceManagerAccess::System());

  const CGeneralSettings& Settings() const { return m_settings; }
  CServiceControl& Service() { return m_service; }

  bool OnOK() override;
  // One status poll, as the timer runs it.
  void UpdateServiceStatus();

 protected:
  void OnInitDialog() override;
  bool UpdateData(bool save) override;

 private slots:
  void OnBrowseMailFolder();
  void OnBrowseLogPath();
  void ViewLogFile();
  void OnStart();
  void OnStop();
  void OnRestart();

 private:
  void ApplyButtons(const ServiceButtons& buttons);
  void BrowseInto(std::string& folder, const char* prompt);

  CGeneralSettings m_settings;
  CServiceControl m_service;

  QLineEdit* m_pPop3Port = nullptr;
  QLineEdit* m_pSmtpPort = nullptr;
  QLineEdit* m_pMailFolder = nullptr;
  QLineEdit* m_pLogPath = nullptr;
  QComboBox* m_pLogLevel = nullptr;
  QLineEdit* m_pServerId = nullptr;
  QLabel* m_pStatus = nullptr;
  QPushButton* m_pStart = nullptr;
  QPushButton* m_pStop = nullptr;
  QPushButton* m_pRestart = nullptr;
  QTimer* m_pTimer = nullptr;
};

}  // namespace applet
