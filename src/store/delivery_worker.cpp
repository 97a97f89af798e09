// Local delivery on a thread of its own (see delivery_worker.h).
#include "store/delivery_worker.h"

namespace {

// The worker's messages.
constexpr UINT WM_DELIVER = WM_USER + 1;  // heap text: the spool file's path
constexpr UINT WM_RETRY_KEPT = WM_USER + 2;

}  // namespace

// A platform thread runs once: each Start makes a new one.
class CDeliveryWorker::CThread : public platform::Thread {
 public:
  explicit CThread(CDeliveryWorker& worker) : m_Worker(worker) {}

 protected:
  void Run() override { m_Worker.Run(); }

 private:
  CDeliveryWorker& m_Worker;
};

CDeliveryWorker::CDeliveryWorker(CLocalDelivery::LogFunction log)
    : m_Delivery(std::move(log),
                 // Copies wait for a timer only on the worker's own loop.
                 [this] { return m_bRunning && platform::CurrentThreadId() == WorkerId(); }),
      m_pTarget(std::make_shared<Target>()) {}

CDeliveryWorker::~CDeliveryWorker() { Stop(); }

void CDeliveryWorker::SetTarget(std::string mail_folder, std::vector<std::string> domains) {
  auto target = std::make_shared<Target>(Target{std::move(mail_folder), std::move(domains)});
  std::lock_guard<std::mutex> guard(m_TargetLock);
  m_pTarget = std::move(target);
}

std::shared_ptr<const CDeliveryWorker::Target> CDeliveryWorker::CurrentTarget() const {
  std::lock_guard<std::mutex> guard(m_TargetLock);
  return m_pTarget;
}

platform::ThreadId CDeliveryWorker::WorkerId() const { return m_pThread ? m_pThread->Id() : 0; }

bool CDeliveryWorker::Start() {
  if (m_bRunning) return true;
  m_pThread = std::make_unique<CThread>(*this);
  // Set before the thread runs: its loop check reads it.
  m_bRunning = true;
  if (!m_pThread->Start()) {
    m_bRunning = false;
    m_pThread.reset();
  }
  if (m_bRunning) m_WorkerQueue = m_pThread->Id();
  return m_bRunning;
}

void CDeliveryWorker::Stop() {
  if (!m_bRunning) return;
  m_WorkerQueue = 0;
  // What was posted before the quit is handled before it.
  platform::MessageQueue::Post(m_pThread->Id(), WM_QUIT);
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  if (!queue.WaitWithMessages(m_pThread->Ended(), platform::INFINITE_WAIT)) {
    m_pThread->Join(platform::INFINITE_WAIT);  // a quit came meanwhile: wait all the same
  }
  m_bRunning = false;
  m_pThread.reset();
}

void CDeliveryWorker::Run() {
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  queue.SetHandler([this](const platform::Message& msg) { return OnMessage(msg); });
  queue.Run();
  m_Delivery.FlushDeliveries();
  queue.SetHandler(nullptr);
}

LRESULT CDeliveryWorker::OnMessage(const platform::Message& msg) {
  const std::shared_ptr<const Target> target = CurrentTarget();
  switch (msg.id) {
    case WM_DELIVER:
      m_Delivery.DeliverSpoolFile(platform::TakeText(msg.wParam), target->mail_folder, target->domains);
      return 0;
    case WM_RETRY_KEPT:
      if (m_Delivery.HasKeptSpoolFiles()) m_Delivery.RetryKeptSpoolFiles(target->mail_folder, target->domains);
      return 0;
    default:
      return 0;
  }
}

void CDeliveryWorker::Deliver(const std::string& path) {
  if (m_bRunning && platform::PostText(m_pThread->Id(), WM_DELIVER, path, 0)) return;
  const std::shared_ptr<const Target> target = CurrentTarget();
  m_Delivery.DeliverSpoolFile(path, target->mail_folder, target->domains);
}

bool CDeliveryWorker::HandOver(const std::string& path) {
  const platform::ThreadId worker = m_WorkerQueue.load();
  return worker != 0 && platform::PostText(worker, WM_DELIVER, path, 0);
}

void CDeliveryWorker::RetryKept() {
  if (m_bRunning && platform::MessageQueue::Post(m_pThread->Id(), WM_RETRY_KEPT)) return;
  const std::shared_ptr<const Target> target = CurrentTarget();
  if (m_Delivery.HasKeptSpoolFiles()) m_Delivery.RetryKeptSpoolFiles(target->mail_folder, target->domains);
}

void CDeliveryWorker::Flush() {
  // The running worker flushes on its own timer and when it stops.
  if (!m_bRunning) m_Delivery.FlushDeliveries();
}

void CDeliveryWorker::DeliverLeftovers() {
  if (m_bRunning) return;  // only before the worker runs: nothing else is delivered then
  const std::shared_ptr<const Target> target = CurrentTarget();
  m_Delivery.DeliverLeftoverSpoolFiles(target->mail_folder, target->domains);
}
