// A DNS server on port 53 of a loopback address, on a thread of its own,
// that answers every query with the same MX records in the order given.
// Binding the low port needs root.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class FakeDnsServer {
 public:
  struct Mx {
    std::uint16_t wPreference;
    std::string strExchange;
  };
  std::vector<Mx> m_arrAnswers;

  ~FakeDnsServer() { Stop(); }
  bool Start(const std::string& ip);
  void Stop();
  int Queries() const { return m_nQueries; }

 private:
  void Serve();

  int m_fd = -1;
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<int> m_nQueries{0};
};
