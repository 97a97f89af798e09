// What the SMTP and POP3 session targets share: a state root and mail folder
// of their own for the whole run (on tmpfs where there is one, so that the
// syncs of every stored message cost nothing), a connection without a socket
// that checks every reply as it is sent, and the connection thread's way of
// feeding received text: reads of a size chosen by the input, each cut at a
// NUL byte, no read that would overflow the receive limit, nothing after the
// session asked to quit.
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

namespace fuzz {

namespace fs = std::filesystem;

// The run's state root (QUILLPOST_HOME, set on the first call) below
// $QP_FUZZ_TMPDIR, /dev/shm or the temporary folder; removed at exit.
const fs::path& FuzzHome();

// The connection thread and socket of one session.
class FakeConnection : public CConnectionContext, public SessionTransport {
 public:
  explicit FakeConnection(CMailServer* server) : m_pServer(server) {}

  void Log(std::string_view) override {}
  void TouchActivity() override {}
  void PostQuit() override { quit = true; }
  void PostDeliver(const std::string& path) override {
    if (on_deliver) on_deliver(path);
    delivered.push_back(path);
  }
  CServerLink* Server() override { return m_pServer; }
  const std::string& PeerAddress() const override { return m_strPeer; }

  bool IsConnectionLost() override { return closed; }
  // Every send is one reply or one piece of a streamed reply; what was sent
  // so far must end with CR LF whenever a reply is complete (checked by the
  // targets), and no CR or LF may stand alone in what the session wrote.
  bool SendAll(std::string_view bytes) override;
  void Close() override { closed = true; }

  std::string sent;  // every byte sent in this session
  std::vector<std::string> delivered;
  std::function<void(const std::string&)> on_deliver;
  bool quit = false;
  bool closed = false;

 private:
  CMailServer* m_pServer;
  std::string m_strPeer = "127.0.0.1";
};

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

// Regular files below `root`, as paths relative to it ("/" separated).
std::set<std::string> FilesBelow(const fs::path& root);
// Folders below `root`, relative.
std::set<std::string> FoldersBelow(const fs::path& root);
std::string ReadWholeFile(const fs::path& path);
void WriteWholeFile(const fs::path& path, std::string_view bytes);
// Fails the run when a CR or LF of `bytes` is not part of a CR LF pair.
void CheckNoBareLineBreak(std::string_view bytes, std::string_view what);

}  // namespace fuzz
