// Connection threads, shared by SMTP and POP3.
#include "net/connection_thread.h"

#include <algorithm>
#include <ctime>

#include "common/text.h"
#include "net/ip_filter.h"

namespace {

// A reply that the peer does not take within this time ends the session
// (a client that stops reading must not hold its thread for ever).
constexpr DWORD kMinSendTimeoutMs = 30000;

std::int64_t NowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace

CConnectionThread::CConnectionThread(const ProtocolTexts& texts, std::unique_ptr<CSessionSocket> session)
    : m_Texts(texts),
      m_pSession(std::move(session)),
      m_tLastActivity(NowSeconds()),
      m_tStarted(m_tLastActivity) {}

CConnectionThread::~CConnectionThread() = default;

bool CConnectionThread::IsAddressAllowed(const char* address) const {
  return ::IsAddressAllowed(m_nIPFilterMode, m_arrIPFilter, address);
}

void CConnectionThread::Run() {
  if (!platform::MessageQueue::ForCurrentThread().IsValid()) {
    // Out of descriptors: nothing could reach this thread. The client is
    // closed, as when no thread can be made for it.
    Abandon();
    return;
  }
  if (InitInstance()) platform::MessageQueue::ForCurrentThread().Run();
  ExitInstance();
}

void CConnectionThread::Abandon() {
  m_AcceptedSocket.Close();
  ReleaseAdmission();
  if (m_pServer) m_pServer->RemoveConnection(m_bSmtp, this);
}

void CConnectionThread::Admit() {
  if (m_eAdmission != Admission::kPending) return;
  m_strPeerAddress = m_AcceptedSocket.PeerAddress();
  const int connections = m_pServer ? m_pServer->CountConnection(+1) : 1;
  const int from_address = m_pServer ? m_pServer->CountAddressConnection(m_strPeerAddress, +1) : 1;
  if (m_pServer && m_pServer->IsTooManyConnections(connections))
    m_eAdmission = Admission::kTooMany;
  // One address cannot take every slot: beyond its share it gets the
  // refusal of the connection limit.
  else if (m_pServer && m_pServer->IsTooManyFromAddress(from_address))
    m_eAdmission = Admission::kTooManyFromAddress;
  else if (!IsAddressAllowed(m_strPeerAddress.c_str()))
    m_eAdmission = Admission::kForbidden;
  else
    m_eAdmission = Admission::kAdmitted;
  // The greeting goes out now, from the accepting thread: on a busy machine
  // a new thread may wait long for its first turn, and a client waits for
  // nothing else. A client that spoke or left already is answered by its
  // session, which looks at the connection first, as for every reply.
  // With the trace log on, the session sends it after its connect line:
  // a client that goes on at once must not get its next lines logged
  // before the greeting it answered.
  if (m_eAdmission != Admission::kAdmitted || m_bImplicitTls || IsLogging() ||
      m_AcceptedSocket.PollReadable(0) != 0)
    return;
  std::string wire = m_Texts.greeting;
  wire += "\r\n";
  m_nGreetingSent = static_cast<std::size_t>(std::max(0L, m_AcceptedSocket.SendNow(wire)));
}

void CConnectionThread::ReleaseAdmission() {
  if (m_eAdmission == Admission::kPending) return;
  m_eAdmission = Admission::kPending;
  if (!m_pServer) return;
  m_pServer->CountConnection(-1);
  m_pServer->CountAddressConnection(m_strPeerAddress, -1);
}

bool CConnectionThread::InitInstance() {
  // A thread started without a listener (a test) is admitted here.
  Admit();
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  const int timeout = m_pServer ? m_pServer->GetTimeout() : 0;
  const DWORD send_timeout_ms = std::max<DWORD>(kMinSendTimeoutMs, static_cast<DWORD>(std::max(timeout, 0)) * 1000u);
  m_pTransport = std::make_unique<CSocketTransport>(std::move(m_AcceptedSocket), send_timeout_ms);
  m_pSession->Attach(this, this);
  m_nWatch = queue.WatchFd(m_pTransport->WatchedFd(), platform::WATCH_READABLE | platform::WATCH_HANG_UP,
                           [this](platform::WatchEvents events) { OnReceive(events); });
  m_nTimerId = queue.SetTimer(kTimerPeriodMs, [this](UINT id) { CheckIdleTimeout(id); });
  m_tStarted = NowSeconds();
  // The connect line is all the server thread does with this notice: below
  // the trace level it is spared, and with it a wake-up of the server thread
  // before the greeting.
  if (IsLogging()) PostConnectionText(WM_MAIL_CLIENT_CONNECTED);

  // A client of an implicit TLS port that is turned away gets no reply: it
  // waits for a handshake and would take a plain text for a broken one.
  const char* denied = nullptr;
  const char* refusal = m_Texts.too_many;
  switch (m_eAdmission) {
    case Admission::kTooMany: denied = "Connection denied: Too many users!"; break;
    case Admission::kTooManyFromAddress: denied = "Connection denied: Too many connections from this address!"; break;
    case Admission::kForbidden:
      denied = "Connection denied: IP address was rejected by the server.";
      refusal = m_Texts.forbidden;
      break;
    default: break;
  }
  if (denied != nullptr) {
    Log(denied);
    if (!m_bImplicitTls) m_pSession->SendReplyText(refusal);
    PostQuit();
    return false;
  }
  if (m_bImplicitTls) {
    if (!m_pTlsContext) Log("Connection denied: no TLS certificate is loaded.");
    // The greeting follows the handshake (OnTlsEstablished), which the
    // idle time-out bounds like any wait for the client.
    StartTls();
    return m_bEncrypted;
  }
  if (m_nGreetingSent > 0)
    m_pSession->FinishReplyText(m_Texts.greeting, m_nGreetingSent);
  else
    m_pSession->SendReplyText(m_Texts.greeting);
  return true;
}

void CConnectionThread::StartTls() {
  if (!m_pTlsContext || m_bEncrypted || !m_pTransport) return;
  // Until now the transport is the plain one made at the start.
  std::unique_ptr<CSocketTransport> plain(static_cast<CSocketTransport*>(m_pTransport.release()));
  m_pTransport = std::make_unique<CTlsTransport>(m_pTlsContext, std::move(plain), static_cast<CTlsEvents*>(this));
  m_bEncrypted = true;
}

void CConnectionThread::OnTlsEstablished(const std::string& description) {
  Log("TLS established: " + description);
  TouchActivity();
  if (m_bImplicitTls) m_pSession->SendReplyText(m_Texts.greeting);
}

void CConnectionThread::OnTlsFailed(const std::string& text) { Log(text); }

void CConnectionThread::ExitInstance() {
  m_pSession->OnSessionEnd();
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  queue.KillTimer(m_nTimerId);
  if (m_nDelayTimer != 0) queue.KillTimer(m_nDelayTimer);
  m_nDelayTimer = 0;
  ReleaseAdmission();
  if (m_pServer) m_pServer->RemoveConnection(m_bSmtp, this);
  // Posted before the connection closes: a client that connects once this
  // one saw the close is logged after this disconnect line. Unlogged, the
  // notice only has the server return free memory soon: while a return is
  // due already, the server thread is not woken for it.
  if (IsLogging() || !(m_pServer && m_pServer->IsMemoryReturnDue()))
    PostConnectionText(WM_MAIL_CLIENT_DISCONNECTED);  // by thread id: safe without the server
  Close();
}

void CConnectionThread::OnReceive(platform::WatchEvents events) {
  if (m_bQuitting || !m_pTransport || !m_pTransport->IsOpen()) return;
  if (m_nDelayTimer != 0) {
    // Only the peer's close is watched during a delay: a client that
    // leaves frees its slot now, not when the delay is over.
    if (events & platform::WATCH_HANG_UP) {
      Close();
      PostQuit();
    }
    return;
  }
  // The TLS handshake first, apart from the receive chunk's frame: it goes
  // deep into the library, and every page of stack a connection thread
  // touched stays with it while its session idles.
  const long ready = m_pTransport->Prepare();
  if (ready == 0) {
    Close();
    PostQuit();
    return;
  }
  if (ready < 0) return;
  // An encrypted record may hold more text than one chunk: what the
  // transport keeps is taken now, as the socket will not signal it again
  // (unless a delay starts: then it waits, and is taken when the delay ends).
  do {
    ReceiveChunk();
  } while (!m_bQuitting && m_nDelayTimer == 0 && m_pTransport && m_pTransport->HasBufferedData());
}

void CConnectionThread::ReceiveChunk() {
  if (m_bQuitting || !m_pTransport || !m_pTransport->IsOpen()) return;
  char buffer[kReceiveChunk];
  const long n = m_pTransport->Receive(buffer, sizeof buffer);
  if (n < 0) {
    const int error = platform::LastSocketError();
    if (error == WSAEWOULDBLOCK) return;
    // No desktop to show it on: the error goes to the trace log. The
    // session goes on; a broken connection reads as closed next time.
    if (m_hNotifyWindow != 0) {
      platform::PostText(m_hNotifyWindow, WM_MAIL_LOG_ERROR,
                         text::Format("%sOnReceive error: %d", m_Texts.log_prefix, error),
                         static_cast<LPARAM>(Id()));
    }
    return;
  }
  if (n == 0) {
    // The peer closed its side: close ours and end the session.
    Close();
    PostQuit();
    return;
  }
  if (m_pSession->WouldOverflow(static_cast<std::size_t>(n))) {
    Log("Buffer overflow: DOS attack?");
    PostQuit();
    return;
  }
  // Every byte goes to the session, NUL bytes too: message text keeps them,
  // and the end of a message after one must still be seen.
  m_pSession->OnReceivedText(std::string_view(buffer, static_cast<std::size_t>(n)));
}

void CConnectionThread::CheckIdleTimeout(unsigned timer_id) {
  if (timer_id != m_nTimerId || m_bQuitting) return;
  const int timeout = m_pServer ? m_pServer->GetTimeout() : 0;
  const std::int64_t now = NowSeconds();
  if (m_tLastActivity + timeout < now) {
    Log("Connection timed out");
    PostQuit();
    return;
  }
  // Like the idle time-out, without a reply.
  if (now - m_tStarted >= m_nMaxSessionSeconds) {
    Log("Connection timed out: the session lasted too long");
    PostQuit();
  }
}

void CConnectionThread::StartDelay(unsigned ms) {
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  // Received text stays in the socket meanwhile, so that pipelined commands
  // wait for the delay too.
  if (m_nWatch != 0) queue.ChangeWatch(m_nWatch, platform::WATCH_HANG_UP);
  m_nDelayTimer = queue.SetTimer(ms, [this](UINT id) { OnDelayOver(id); });
}

void CConnectionThread::OnDelayOver(unsigned timer_id) {
  if (timer_id != m_nDelayTimer) return;
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  queue.KillTimer(m_nDelayTimer);
  m_nDelayTimer = 0;
  if (m_bQuitting) return;
  if (m_nWatch != 0) queue.ChangeWatch(m_nWatch, platform::WATCH_READABLE | platform::WATCH_HANG_UP);
  // A session may start another delay here (a further failed login waited).
  m_pSession->EndDelay();
  // Text the TLS layer decrypted before the delay began is not signalled by
  // the socket again.
  if (m_nDelayTimer == 0 && !m_bQuitting && m_pTransport && m_pTransport->HasBufferedData())
    OnReceive(platform::WATCH_READABLE);
}

bool CConnectionThread::IsLogging() const {
  // Below the trace level the server would drop the line: spare the post.
  return m_hNotifyWindow != 0 && !(m_pServer && m_pServer->GetLogLevel() < LOG_TRACE);
}

void CConnectionThread::Log(std::string_view text) {
  if (!IsLogging()) return;
  std::string line = m_Texts.log_prefix;
  line.append(text);
  platform::PostText(m_hNotifyWindow, WM_MAIL_LOG_TRACE, line, static_cast<LPARAM>(Id()));
}

void CConnectionThread::TouchActivity() { m_tLastActivity = NowSeconds(); }

void CConnectionThread::PostQuit() {
  m_bQuitting = true;
  platform::MessageQueue::Post(Id(), WM_QUIT);
}

void CConnectionThread::PostDeliver(const std::string& path) {
  if (m_pServer && m_pServer->HandOverDelivery(path)) return;
  if (m_hNotifyWindow) platform::PostText(m_hNotifyWindow, WM_MAIL_DELIVER, path, 0);
}

void CConnectionThread::PostConnectionText(UINT msg) {
  if (m_hNotifyWindow == 0) return;
  const std::string text = m_strPeerAddress + "|" + m_Texts.name;
  platform::PostText(m_hNotifyWindow, msg, text, static_cast<LPARAM>(Id()));
}

bool CConnectionThread::IsConnectionLost() { return !m_pTransport || m_pTransport->IsConnectionLost(); }

bool CConnectionThread::SendAll(std::string_view bytes) { return m_pTransport && m_pTransport->SendAll(bytes); }

void CConnectionThread::Close() {
  if (m_nWatch != 0) {
    platform::MessageQueue::ForCurrentThread().UnwatchFd(m_nWatch);
    m_nWatch = 0;
  }
  if (m_pTransport) m_pTransport->Close();
}
