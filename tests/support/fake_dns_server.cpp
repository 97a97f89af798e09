// The fake DNS server of the relay and applet tests (see fake_dns_server.h).
#include "fake_dns_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "common/dns_test_wire.h"
#include "loopback.h"

namespace {

// The question's name, dotted (labels up to the final zero byte).
std::string QueriedName(const dnstest::Bytes& question) {
  std::string name;
  for (std::size_t i = 0; i < question.size() && question[i] != 0; i += question[i] + 1u) {
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(&question[i + 1]),
                std::min<std::size_t>(question[i], question.size() - i - 1));
  }
  return name;
}

}  // namespace

bool FakeDnsServer::Start(const std::string& ip, int port) {
  m_fd = BindLoopback(SOCK_DGRAM, ip, port);
  if (m_fd < 0) return false;
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &size);
  m_nPort = ntohs(bound.sin_port);
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void FakeDnsServer::Stop() {
  m_bStop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

std::vector<std::string> FakeDnsServer::QueriedNames() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_arrNames;
}

void FakeDnsServer::Serve() {
  while (!m_bStop) {
    if (!WaitReadable(m_fd, 100, m_bStop)) continue;
    std::uint8_t query[512];
    sockaddr_in from{};
    socklen_t from_size = sizeof from;
    const ssize_t n = ::recvfrom(m_fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
    if (n < 12) continue;
    ++m_nQueries;
    // The question runs from byte 12 to the end of the query.
    const dnstest::Bytes question(query + 12, query + n);
    {
      std::lock_guard<std::mutex> lock(m_Lock);
      m_arrNames.push_back(QueriedName(question));
    }
    if (m_nDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_nDelayMs));
    dnstest::Wire reply;
    reply.Header(dnstest::kReplyAuthoritative, 1, static_cast<std::uint16_t>(m_arrAnswers.size()), 0, 0,
                 static_cast<std::uint16_t>(query[0] << 8 | query[1]));
    reply.Add(question);
    for (const Mx& mx : m_arrAnswers) {
      if (m_bMalformed) break;
      reply.Record(dnstest::Ptr(dnstest::kQuestionNameOffset), 15,
                   dnstest::MxData(mx.wPreference, dnstest::Name(mx.strExchange)));
    }
    ::sendto(m_fd, reply.b.data(), reply.b.size(), 0, reinterpret_cast<sockaddr*>(&from), from_size);
  }
}
