// The order in which the relay's senders take queued files, and the bound on
// transactions open to one mail server at a time.
//
// CRelaySchedule hands out the waiting items of a queue pass: at most a
// bound of them running per destination (the mail servers a file goes to),
// the destinations taking turns, the items of one destination in the order
// they were added. A large batch for one domain thus never keeps the
// senders from the others, and no receiver gets more connections from us
// than the bound.
//
// CHostSlots is that bound at the moment of connecting, per address: two
// destinations may name the same server, and the address a sender reaches
// is known only then. Safe from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CRelaySchedule {
 public:
  explicit CRelaySchedule(int per_destination) : m_nPerDestination(per_destination < 1 ? 1 : per_destination) {}

  void Add(const std::string& destination, std::size_t item);
  // The next item whose destination runs fewer than the bound, counted as
  // running from now on; none when every waiting item's destination is full
  // (or nothing waits).
  std::optional<std::size_t> Next();
  // A running item of `destination` has ended.
  void Done(const std::string& destination);
  bool Waiting() const;
  // How many items Next would give one after another now.
  std::size_t Ready() const;

 private:
  struct Destination {
    std::string name;
    std::deque<std::size_t> waiting;
    int running = 0;
  };
  Destination* Find(const std::string& name);

  int m_nPerDestination;
  std::vector<Destination> m_arrDestinations;  // in the order they first came
  std::size_t m_nTurn = 0;                     // the destination asked first by Next
};

class CHostSlots {
 public:
  explicit CHostSlots(int per_host) : m_nPerHost(per_host < 1 ? 1 : per_host) {}

  // Waits until `host` has fewer than the bound slots taken and takes one;
  // false (nothing taken) once Cancel was called.
  bool Acquire(const std::string& host);
  void Release(const std::string& host);
  // Ends every wait, now and until Reset: the relay is stopping.
  void Cancel();
  void Reset();

 private:
  int m_nPerHost;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::map<std::string, int> m_mapTaken;
  bool m_bCancelled = false;
};
