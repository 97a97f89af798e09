// The listeners of SMTP and POP3 (see listen_socket.h).
#include "net/listen_socket.h"

CListenSocket::CListenSocket(std::shared_ptr<CServerLink> server, bool smtp)
    : m_pServer(std::move(server)), m_bSmtp(smtp) {}

CListenSocket::~CListenSocket() { Close(); }

bool CListenSocket::Create(int port, int backlog, std::string_view address) {
  m_Socket = platform::Socket::Listen(port, backlog, address);
  if (!m_Socket.IsValid()) return false;
  m_nWatch = platform::MessageQueue::ForCurrentThread().WatchFd(m_Socket.fd(), platform::WATCH_READABLE,
                                                                 [this](platform::WatchEvents) { OnAccept(); });
  return true;
}

void CListenSocket::Close() {
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  if (m_nWatch != 0) queue.UnwatchFd(m_nWatch);
  if (m_nResumeTimer != 0) queue.KillTimer(m_nResumeTimer);
  m_nWatch = m_nResumeTimer = 0;
  m_Socket.Close();
}

void CListenSocket::OnAccept() {
  for (;;) {
    platform::Socket client = AcceptClient();
    if (!client.IsValid()) {
      const int error = platform::LastSocketError();
      if (error == WSAEWOULDBLOCK) return;  // nobody waits any more
      // A client that gave up before it was taken: the next one.
      if (error == WSAEINTR || error == WSAECONNABORTED) continue;
      // Anything else (no descriptor, no buffer space, no memory) would fail
      // again at once while the socket stays readable: pause, do not spin.
      PauseAccepting();
      return;
    }
    std::shared_ptr<CConnectionThread> thread;
    try {
      thread = NewConnectionThread();
    } catch (...) {
      thread.reset();
    }
    if (!thread) continue;  // the accepted connection closes with `client`
    thread->m_hNotifyWindow = m_pServer->NotificationWindow();
    thread->m_pServer = m_pServer;
    thread->m_bSmtp = m_bSmtp;
    thread->m_AcceptedSocket = std::move(client);
    thread->Admit();
    m_pServer->AddConnection(m_bSmtp, thread);
    thread->KeepAliveWhileRunning(thread);
    // The thread is made on the starter thread: in a burst of connects,
    // every client here waits only for the accepts and greetings of those
    // before it, not for their threads.
    if (!thread->StartSoon()) {
      thread->ReleaseAdmission();
      m_pServer->RemoveConnection(m_bSmtp, thread.get());
    }
  }
}

void CListenSocket::PauseAccepting() {
  // Waiting clients stay in the backlog until descriptors or memory are
  // given back, instead of the listener spinning on a failing accept.
  if (m_nResumeTimer != 0) return;
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  queue.ChangeWatch(m_nWatch, platform::WATCH_NONE);
  m_nResumeTimer = queue.SetTimer(kAcceptRetryMs, [this](UINT) {
    platform::MessageQueue& q = platform::MessageQueue::ForCurrentThread();
    q.KillTimer(m_nResumeTimer);
    m_nResumeTimer = 0;
    q.ChangeWatch(m_nWatch, platform::WATCH_READABLE);
  });
}
