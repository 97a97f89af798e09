// The fake DNS server of the relay tests (see fake_dns_server.h).
#include "fake_dns_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/dns_test_wire.h"
#include "loopback.h"

bool FakeDnsServer::Start(const std::string& ip) {
  m_fd = BindLoopback(SOCK_DGRAM, ip, 53);
  if (m_fd < 0) return false;
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void FakeDnsServer::Stop() {
  m_bStop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
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
    dnstest::Wire reply;
    reply.Header(dnstest::kReplyAuthoritative, 1, static_cast<std::uint16_t>(m_arrAnswers.size()), 0, 0,
                 static_cast<std::uint16_t>(query[0] << 8 | query[1]));
    reply.Add(question);
    for (const Mx& mx : m_arrAnswers) {
      reply.Record(dnstest::Ptr(dnstest::kQuestionNameOffset), 15,
                   dnstest::MxData(mx.wPreference, dnstest::Name(mx.strExchange)));
    }
    ::sendto(m_fd, reply.b.data(), reply.b.size(), 0, reinterpret_cast<sockaddr*>(&from), from_size);
  }
}
