// A DNS server on UDP of a loopback address, on a thread of its own, that
// answers every query with the same MX records in the order given (or with
// a malformed reply), and records the names asked for.
// Port 53, where the relay asks, needs root; port 0 takes any free port.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeDnsServer {
 public:
  struct Mx {
    std::uint16_t wPreference;
    std::string strExchange;
  };
  // What every query gets; set before Start.
  std::vector<Mx> m_arrAnswers;
  // Instead, a reply to the query that promises the records and holds none.
  bool m_bMalformed = false;
  int m_nDelayMs = 0;       // the wait before each reply

  ~FakeDnsServer() { Stop(); }
  bool Start(const std::string& ip, int port = 53);
  void Stop();
  // The port served (the one taken when Start was given 0).
  int Port() const { return m_nPort; }
  int Queries() const { return m_nQueries; }
  // The names queried so far, dotted, in the order they came.
  std::vector<std::string> QueriedNames();

 private:
  void Serve();

  int m_fd = -1;
  int m_nPort = 0;
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<int> m_nQueries{0};
  std::mutex m_Lock;
  std::vector<std::string> m_arrNames;
};
