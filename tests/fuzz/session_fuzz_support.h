// What the SMTP and POP3 session targets share: a state root and mail folder
// of their own for the whole run (on tmpfs where there is one, so that the
// syncs of every stored message cost nothing), the tests' recording
// connection, and the connection thread's way of feeding received text:
// reads of a size chosen by the input, every byte of them, no read that
// would overflow the receive limit, nothing after the session asked to quit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/session_socket.h"
#include "service/mail_server.h"
#include "support/fake_connection.h"
#include "support/files.h"

namespace fuzz {

namespace fs = std::filesystem;

// The run's state root (QUILLPOST_HOME, set on the first call) below
// $QP_FUZZ_TMPDIR, /dev/shm or the temporary folder; removed at exit.
const fs::path& FuzzHome();

// Makes every send of the connection check that it is not empty (a reply,
// or a piece of a streamed one, always holds bytes).
void CheckEverySend(FakeConnection& conn);
// A client address no earlier input used ("10.x.y.z").
std::string NextPeerAddress();

// Read sizes of the connection thread: all of CConnectionThread's chunk,
// one byte per read, or sizes from a small generator seeded by `seed`.
class ChunkSizes {
 public:
  explicit ChunkSizes(std::uint8_t seed) : m_nSeed(seed), m_nState(seed * 2654435761u + 1) {}
  std::size_t Next();

 private:
  std::uint8_t m_nSeed;
  std::uint32_t m_nState;
};

// Feeds `text` to the session the way the connection thread does. `before`
// runs before every read (a target's checks and extra text). Returns false
// when the connection thread would have ended the session (quit or overflow).
bool FeedLikeConnection(CSessionSocket& session, FakeConnection& conn, std::string_view text,
                        ChunkSizes sizes, const std::function<void()>& before = {});

// Fails the run when a CR or LF of `bytes` is not part of a CR LF pair.
void CheckNoBareLineBreak(std::string_view bytes, std::string_view what);

}  // namespace fuzz
