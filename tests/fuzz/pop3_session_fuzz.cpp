// CPop3Socket (pop3/pop3_socket.h) fed arbitrary command sequences the way
// its connection thread feeds it, over a small mail folder: two accounts
// (bob/secret with four messages, one of them larger than a send chunk, and
// alice/wonder with one), a folder inside bob's mailbox, a drop folder and a
// file in the mail folder itself. The input's first byte picks the read
// sizes; the rest is what the client sends.
//
// Checked for every command line:
//   - a reply is sent while the connection is up; it starts with "+OK" or
//     "-ERR" and ends with CR LF; replies other than RETR have no CR or LF of
//     their own; multi-line replies end with "." CR LF;
//   - a RETR reply is exactly "+OK <file length> octets", the file's text
//     (up to a NUL, less trailing white space, then trailing dots) and
//     CR LF "." CR LF;
//   - the messages of a snapshot are plain files directly inside the
//     logged-in user's own mailbox folder;
// and after the session: only messages that were marked with DELE are gone,
// those still marked when the session ended are gone, nothing else changed.
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/text.h"
#include "fuzz_check.h"
#include "platform/paths.h"
#include "pop3/pop3_socket.h"
#include "session_fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using fuzz::Printable;

std::string LargeMessage() {
  std::string text = "Subject: large\r\n\r\n";
  while (text.size() < CPop3Socket::kSendChunk + 5000) text += "a line of the large message body.\r\n";
  text += ".\r\n..\r\n  \r\n";
  return text;
}

// The mail folder's files, relative to it, with their contents.
const std::map<std::string, std::string>& Contents() {
  static const std::map<std::string, std::string> contents = {
      {"bob/1.eml", "x-sender: <a@d1.test>\r\nSubject: one\r\n\r\nHello bob\r\n"},
      {"bob/2.eml", "Subject: dots\r\n\r\n.leading dot\r\n..two\r\nlast. . \r\n.\r\n"},
      {"bob/3.eml", std::string("Subject: nul\r\n\r\nbefore\0after\r\n", 30)},
      {"bob/4.eml", LargeMessage()},
      {"bob/sub/inside.eml", "not a message of bob's\r\n"},
      {"alice/a.eml", "Subject: bare\nline feeds\n\nbody\n"},
      {"drop/spool.eml", "x-sender: <x@y>\r\nx-receiver: <bob@d1.test>\r\n\r\nspool\r\n"},
      {"secret.txt", "not a mailbox\r\n"},
  };
  return contents;
}

struct World {
  fs::path mail;
  CMailServer server;

  World() {
    mail = fuzz::FuzzHome() / "Mail";
    server.SetMailFolder(mail.string() + "/");
    server.m_arrAccounts = {{"bob", "Bob", "secret"}, {"alice", "Alice", "wonder"}};
    Restore();
  }

  // Writes every file that is missing.
  void Restore() {
    for (const auto& [name, bytes] : Contents()) {
      const fs::path path = mail / name;
      std::error_code error;
      if (fs::exists(path, error)) continue;
      fs::create_directories(path.parent_path());
      FUZZ_CHECK(WriteFileBytes(path, bytes), "cannot write a mailbox file");
    }
  }
};

World& TheWorld() {
  static World world;
  return world;
}

// What RETR sends of a file: its text up to a NUL, less trailing white
// space and then trailing dots.
std::string RetrText(std::string bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  bytes = text::TrimRight(bytes);
  while (!bytes.empty() && bytes.back() == '.') bytes.pop_back();
  return bytes;
}

class CheckedSession : public CPop3Socket {
 public:
  CheckedSession(FakeConnection& conn, World& world) : m_Conn(conn), m_World(world) {}

  void ProcessCommand() override {
    const std::string line = m_lstLines.empty() ? std::string() : m_lstLines.front();
    NoteMarks();
    const std::vector<CPop3Message> snapshot = m_arrMessages;
    const bool was_up = !m_Conn.closed;
    const std::size_t before = m_Conn.sent.size();
    CPop3Socket::ProcessCommand();
    FUZZ_CHECK(GetState() != kStateSending, "the session stayed in the sending state");
    // The snapshot is the mailbox of the user of the last successful PASS
    // (a later USER alone changes nothing).
    if (IsLogin(line)) m_strLoggedIn = m_strUser;
    if (GetState() == kStateTransaction) CheckSnapshot();
    if (was_up) CheckReply(line, std::string_view(m_Conn.sent).substr(before), snapshot);
  }

  // Called before anything may delete files: what is marked now.
  void NoteMarks() {
    m_setLastMarked.clear();
    for (const CPop3Message& message : m_arrMessages) {
      if (message.m_bDeleted) {
        const std::string native = platform::MapPath(message.m_strPath);
        m_setEverMarked.insert(native);
        m_setLastMarked.insert(native);
      }
    }
  }

  std::set<std::string> m_setEverMarked;
  std::set<std::string> m_setLastMarked;
  std::set<std::string> m_setMarkedAtQuit;

 private:
  // A PASS line with the password of the current user: the snapshot was
  // rebuilt by it (whether or not the reply could still be sent).
  bool IsLogin(const std::string& line) {
    const std::size_t space = line.find(' ');
    if (text::ToUpper(line.substr(0, space)) != "PASS" || m_strUser.empty()) return false;
    const std::string password = space == std::string::npos ? std::string() : line.substr(space + 1);
    return m_World.server.CheckLogin(m_strUser, password);
  }

  void CheckSnapshot() {
    const fs::path own = m_World.mail / text::ToLower(m_strLoggedIn);
    for (const CPop3Message& message : m_arrMessages) {
      const fs::path native = platform::MapPath(message.m_strPath);
      FUZZ_CHECK(native.parent_path() == own,
                 "a message outside " + own.string() + ": " + Printable(message.m_strPath));
      FUZZ_CHECK(fs::is_regular_file(native),
                 "a message that is no plain file: " + Printable(message.m_strPath));
    }
  }

  void CheckReply(const std::string& line, std::string_view reply,
                  const std::vector<CPop3Message>& snapshot) {
    const std::size_t space = line.find(' ');
    const std::string word = text::ToUpper(line.substr(0, space));
    const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (word == "QUIT") m_setMarkedAtQuit = m_setLastMarked;

    FUZZ_CHECK(!reply.empty(), "no reply to " + Printable(line));
    FUZZ_CHECK(reply.starts_with("+OK") || reply.starts_with("-ERR"),
               "reply " + Printable(reply.substr(0, 80)));
    FUZZ_CHECK(reply.ends_with("\r\n"), "reply without CR LF to " + Printable(line));
    const bool ok = reply.starts_with("+OK");
    if (word == "RETR" && ok) {
      const int n = ParseMessageNumber(arg);
      FUZZ_CHECK(n >= 1 && static_cast<std::size_t>(n) <= snapshot.size(), "RETR of no message answered +OK");
      const std::string bytes = ReadFileBytes(platform::MapPath(snapshot[n - 1].m_strPath));
      const std::string expected =
          "+OK " + std::to_string(bytes.size()) + " octets\r\n" + RetrText(bytes) + "\r\n.\r\n";
      FUZZ_CHECK(reply == expected, "RETR " + std::to_string(n) + " sent " + Printable(reply.substr(0, 200)));
      return;
    }
    fuzz::CheckNoBareLineBreak(reply, "POP3 reply to " + Printable(line));
    const bool multi_line =
        word == "CAPA" || word == "TOP" || ((word == "LIST" || word == "UIDL") && arg.empty());
    if (ok && multi_line) {
      FUZZ_CHECK(reply.ends_with("\r\n.\r\n"), "multi-line reply without its end: " + Printable(line));
    }
  }

  FakeConnection& m_Conn;
  World& m_World;
  std::string m_strLoggedIn;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  fuzz::InputCursor cursor(data, size);
  const fuzz::ChunkSizes sizes(cursor.Byte());
  const std::string_view text = cursor.Rest();

  FakeConnection conn(&world.server);
  fuzz::CheckEverySend(conn);
  auto session = std::make_unique<CheckedSession>(conn, world);
  session->Attach(&conn, &conn);
  fuzz::FeedLikeConnection(*session, conn, text, sizes);
  session->NoteMarks();
  const std::set<std::string> marked_at_end = session->m_setLastMarked;
  session->OnSessionEnd();

  // Only marked messages are gone; the ones marked when the session ended
  // (or quit) are.
  for (const auto& [name, bytes] : Contents()) {
    const fs::path path = world.mail / name;
    const bool exists = fs::exists(path);
    const std::string native = path.string();
    if (!exists) {
      FUZZ_CHECK(session->m_setEverMarked.count(native) == 1,
                 "a message that was never marked is gone: " + name);
    } else {
      FUZZ_CHECK(marked_at_end.count(native) == 0 && session->m_setMarkedAtQuit.count(native) == 0,
                 "a marked message survived the end of the session: " + name);
      FUZZ_CHECK(ReadFileBytes(path) == bytes, "a file changed: " + name);
    }
  }
  const std::set<std::string> files = FilesBelow(world.mail);
  for (const std::string& file : files) {
    FUZZ_CHECK(Contents().count(file) == 1, "a file appeared: " + Printable(file));
  }
  session.reset();
  world.Restore();
  return 0;
}
