// The delivery worker: local delivery (local_delivery.h) on a thread of its
// own, so that the links, the folder syncs, the removal of spool files and
// the retries of kept ones never hold up the thread that takes new
// connections. Spool files are delivered in the order they were handed
// over, one at a time; the trace lines of one delivery keep their order.
//
// While the worker does not run (before Start, after Stop), every call is
// carried out at once on the calling thread instead: the leftovers of a
// crash are delivered this way before any client is served, and so are the
// files a session handed over while its server stopped.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "store/local_delivery.h"

class CDeliveryWorker {
 public:
  // `log` may be called on the worker thread.
  explicit CDeliveryWorker(CLocalDelivery::LogFunction log);
  ~CDeliveryWorker();
  CDeliveryWorker(const CDeliveryWorker&) = delete;
  CDeliveryWorker& operator=(const CDeliveryWorker&) = delete;

  // The mail folder and the local domains of the deliveries queued from now
  // on (at start and at every reload).
  void SetTarget(std::string mail_folder, std::vector<std::string> domains);

  // Starts the thread (again after a Stop); false (calls keep running on
  // the caller) when no thread could be made.
  bool Start();
  // Has the worker deliver every spool file handed over before, sync their
  // copies, remove what it may and end; waits for it, handling the calling
  // thread's messages meanwhile (the worker's log lines may be among them).
  void Stop();
  bool IsRunning() const { return m_bRunning; }

  void Deliver(const std::string& path);
  // From any thread: posts the spool file to the running worker; false, and
  // nothing done, when it does not run (the owner's thread delivers then).
  bool HandOver(const std::string& path);
  // Tries the spool files kept after a failed delivery again.
  void RetryKept();
  // Syncs the copies made so far and removes their spool files.
  void Flush();
  // Delivers what the drop folder holds from an earlier run.
  void DeliverLeftovers();

 private:
  struct Target {
    std::string mail_folder;
    std::vector<std::string> domains;
  };
  class CThread;
  std::shared_ptr<const Target> CurrentTarget() const;
  void Run();
  LRESULT OnMessage(const platform::Message& msg);
  platform::ThreadId WorkerId() const;

  CLocalDelivery m_Delivery;  // the worker's thread only, while it runs
  std::unique_ptr<CThread> m_pThread;  // the running thread (owner's thread only)
  mutable std::mutex m_TargetLock;
  std::shared_ptr<const Target> m_pTarget;
  std::atomic<bool> m_bRunning{false};  // written by the owner's thread only
  // The running worker's queue, for HandOver (0: none).
  std::atomic<platform::ThreadId> m_WorkerQueue{0};
};
