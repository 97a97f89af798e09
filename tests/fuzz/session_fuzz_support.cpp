// The state root, recorded connection and feeding of the session targets
// (see session_fuzz_support.h).
#include "session_fuzz_support.h"

#include <cstdlib>
#include <fstream>

#include "fuzz_check.h"
#include "net/connection_thread.h"
#include "support/temp_home.h"

namespace fuzz {

namespace {

fs::path TempBase() {
  if (const char* dir = std::getenv("QP_FUZZ_TMPDIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code error;
  if (fs::is_directory("/dev/shm", error)) return "/dev/shm";
  return fs::temp_directory_path();
}

}  // namespace

const fs::path& FuzzHome() {
  // Removed at exit, with the static object.
  static const TempHome home("qp-fuzz-", TempBase());
  static const fs::path path = home.path();
  return path;
}

std::string NextPeerAddress() {
  static std::uint32_t next = 0;
  const std::uint32_t n = next++ & 0xFFFFFFu;
  return "10." + std::to_string(n >> 16) + "." + std::to_string((n >> 8) & 0xFF) + "." + std::to_string(n & 0xFF);
}

void CheckEverySend(FakeConnection& conn) {
  conn.on_send = [](std::string_view bytes) { FUZZ_CHECK(!bytes.empty(), "an empty send"); };
}

std::size_t ChunkSizes::Next() {
  switch (m_nSeed % 4) {
    case 0:
      return CConnectionThread::kReceiveChunk;
    case 1:
      return 1;
    default:
      m_nState ^= m_nState << 13;
      m_nState ^= m_nState >> 17;
      m_nState ^= m_nState << 5;
      // Mostly short reads (lines split anywhere), now and then a full one.
      return (m_nState & 7) == 0 ? CConnectionThread::kReceiveChunk : 1 + (m_nState >> 8) % 64;
  }
}

bool FeedLikeConnection(CSessionSocket& session, FakeConnection& conn, std::string_view text,
                        ChunkSizes sizes, const std::function<void()>& before) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (conn.quits > 0 || conn.closed) return false;
    if (before) before();
    const std::size_t count = std::min(sizes.Next(), text.size() - pos);
    if (session.WouldOverflow(count)) return false;  // "Buffer overflow: DOS attack?"
    session.OnReceivedText(text.substr(pos, count));
    pos += count;
    // The connection reads nothing more until a delay is over.
    conn.EndDelays(session);
    FUZZ_CHECK(session.m_strReceived.size() <= CSessionSocket::kMaxReceived, "receive buffer past its limit");
  }
  return !(conn.quits > 0 || conn.closed);
}

void CheckNoBareLineBreak(std::string_view bytes, std::string_view what) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r') {
      FUZZ_CHECK(
          i + 1 < bytes.size() && bytes[i + 1] == '\n',
          std::string(what) + ": CR without LF in " + Printable(bytes.substr(i >= 40 ? i - 40 : 0, 80)));
      ++i;
    } else if (bytes[i] == '\n') {
      FUZZ_CHECK(false, std::string(what) + ": LF without CR in " +
                            Printable(bytes.substr(i >= 40 ? i - 40 : 0, 80)));
    }
  }
}

}  // namespace fuzz
