// Starting and stopping the relay thread from the server core.
#include "store/mail_store.h"
#include "common/text.h"
#include "net/tls_context.h"
#include "relay/relay_thread.h"
#include "service/mail_server.h"

void CMailServer::StartRelayThread() {
  if (m_pRelayThread) return;
  auto relay = std::make_unique<CRelayThread>();
  const std::string mail_folder = GetMailFolder();
  relay->m_strQueueFolder = MailSubfolder(mail_folder, kQueueFolder);
  relay->m_strBadMailFolder = MailSubfolder(mail_folder, kBadMailFolder);
  CreateFolderPath(relay->m_strQueueFolder);
  CreateFolderPath(relay->m_strBadMailFolder);
  relay->m_strDNSServer = m_strDNSServer;
  relay->m_strHeloName = m_strHostName;
  relay->m_arrDomains = m_arrDomains;
  relay->m_nMaxRecipients = m_nMaxRecipients;
  relay->m_nRelayTimeout = m_nRelayTimeout;
  relay->m_hNotifyWindow = NotificationWindow();
  relay->m_RetryPolicy = m_RetryPolicy;
  relay->m_nLogLevel = m_nLogLevel.load();
  if (m_bRelayTls != 0) {
    std::string error;
    relay->m_pTlsContext = CTlsContext::CreateClient(error);
    if (!relay->m_pTlsContext)
      WriteLog(LOG_ERROR, 0, "<RELAY> ERROR: Cannot make the TLS context (%s); relaying unencrypted.", error.c_str());
  }
  for (const std::string& record : m_arrMxRecords) {
    // One server per domain: a later record of the same domain wins.
    relay->m_mapMailServers[text::ToLower(text::ExtractField(record, 0, '|'))] =
        text::ExtractField(record, 1, '|');
  }
  if (!relay->Start()) {
    // Nothing would serve the queue: an Error, where the start is a Trace line.
    WriteLog(LOG_ERROR, 0, "<RELAY> ERROR: The relaying thread could not be started.");
    return;
  }
  m_pRelayThread = std::move(relay);
  WriteLog(LOG_TRACE, 0, "<RELAY> Relaying thread started.");
}

void CMailServer::StopRelayThread() {
  if (!m_pRelayThread) return;
  m_pRelayThread->Stop();
  m_pRelayThread.reset();
  // The lines the relay posted during its last pass are written before its
  // stop line.
  platform::MessageQueue::ForCurrentThread().PumpOnce(0);
  WriteLog(LOG_TRACE, 0, "<RELAY> Relaying thread stopped.");
}
