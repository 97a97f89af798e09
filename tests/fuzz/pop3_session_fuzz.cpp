// CPop3Socket (pop3/pop3_socket.h) fed arbitrary command sequences the way
// its connection thread feeds it, over a small mail folder: three accounts
// (bob/secret with four messages, one of them larger than a send chunk,
// alice/wonder with one, and carol/pw whose one message is any bytes), a
// folder inside bob's mailbox, a drop folder and a file in the mail folder
// itself. The input's first byte picks the read sizes; the rest is what the
// client sends, then, after a byte 0x1E (if there is one), carol's message.
//
// Checked for every command line:
//   - a reply is sent while the connection is up; it starts with "+OK" or
//     "-ERR" and ends with CR LF; replies other than RETR and TOP have no CR
//     or LF of their own; multi-line replies end with "." CR LF;
//   - a RETR reply is exactly "+OK <file length> octets", the file's shown
//     text (up to a NUL, without the x-receiver lines of its envelope) less
//     trailing white space, then trailing dots, in wire form, and CR LF "."
//     CR LF;
//   - a RETR or TOP reply holds exactly one line of only "." and it is the
//     last, for a reader that cuts lines at LF and for one that cuts them at
//     CR LF (no text ends early);
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
#include "pop3/pop3_message_text.h"
#include "pop3/pop3_socket.h"
#include "session_fuzz_support.h"
#include "store/wire_form.h"

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

// Carol's message, when the input brings none: what a client never stuffed,
// and what an older version stored from a smuggled transaction.
constexpr std::string_view kCarolDefault =
    "x-sender: <a@x.test>\r\nx-receiver: <carol@d1.test>\r\nx-receiver: <bcc@d2.test>\r\n"
    "Subject: dots\r\n\r\nhello\n.\nMAIL FROM:<x@y>\r\n.\r\nRCPT TO:<z>\r\n.\rx\r\n";
constexpr const char* kCarolMessage = "carol/c.eml";
constexpr char kMessageSeparator = '\x1e';

struct World {
  fs::path mail;
  CMailServer server;

  World() {
    mail = fuzz::FuzzHome() / "Mail";
    server.SetMailFolder(mail.string() + "/");
    server.m_arrAccounts = {{"bob", "Bob", "secret"}, {"alice", "Alice", "wonder"}, {"carol", "Carol", "pw"}};
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

// What RETR sends of a file: its shown text less trailing white space and
// then trailing dots, in wire form.
std::string RetrText(const std::string& bytes) {
  pop3::MessageFileText shown_text;
  std::string shown;
  shown_text.Feed(bytes, shown);
  shown_text.Finish(shown);
  shown = text::TrimRight(shown);
  while (!shown.empty() && shown.back() == '.') shown.pop_back();
  CWireFormEncoder encoder;
  std::string wire;
  encoder.Feed(shown, wire);
  encoder.Finish(wire);
  return wire;
}

// Lines of a multi-line reply after its first, as a reader that ends lines
// at LF (dropping a CR before it) or only at CR LF cuts them; exactly one is
// "." alone, and it is the last.
void CheckOneTerminatorLine(std::string_view reply, const std::string& command) {
  for (const bool at_lf : {true, false}) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < reply.size()) {
      std::size_t end = reply.find(at_lf ? "\n" : "\r\n", start);
      if (end == std::string_view::npos) end = reply.size();
      std::string_view line = reply.substr(start, end - start);
      if (at_lf && line.ends_with('\r')) line.remove_suffix(1);
      lines.push_back(line);
      start = end + (at_lf ? 1 : 2);
    }
    std::size_t dots = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) dots += lines[i] == "." ? 1 : 0;
    FUZZ_CHECK(dots == 1 && lines.back() == ".",
               command + ": " + std::to_string(dots) + " terminator lines for a reader cutting at " +
                   (at_lf ? "LF" : "CR LF") + " in " + Printable(reply.substr(0, 300)));
  }
}

class CheckedSession : public CPop3Socket {
 public:
  CheckedSession(FakeConnection& conn, World& world) : m_Conn(conn), m_World(world) {}

  void ProcessCommand() override {
    const std::string line = m_lstLines.empty() ? std::string() : m_lstLines.front();
    NoteMarks();
    std::vector<std::string> snapshot;  // the paths of the messages, by number
    for (std::size_t i = 0; i < m_arrMessages.size(); ++i) snapshot.push_back(m_arrMessages.Path(i));
    const bool was_up = !m_Conn.closed;
    const std::size_t before = m_Conn.sent.size();
    CPop3Socket::ProcessCommand();
    FUZZ_CHECK(GetState() != kStateSending, "the session stayed in the sending state");
    // The snapshot is the mailbox of the user of the last successful PASS
    // (a later USER alone changes nothing).
    if (IsLogin(line)) m_strLoggedIn = m_strUser;
    if (GetState() == kStateTransaction) CheckSnapshot();
    // A failed login is answered when its delay is over (the connection's
    // send check looks at that reply).
    if (IsDelayed()) {
      FUZZ_CHECK(m_Conn.sent.size() == before, "a reply before the delay of " + Printable(line));
      return;
    }
    if (was_up) CheckReply(line, std::string_view(m_Conn.sent).substr(before), snapshot);
  }

  // Called before anything may delete files: what is marked now.
  void NoteMarks() {
    m_setLastMarked.clear();
    for (std::size_t i = 0; i < m_arrMessages.size(); ++i) {
      if (m_arrMessages.IsDeleted(i)) {
        const std::string native = platform::MapPath(m_arrMessages.Path(i));
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
    for (std::size_t i = 0; i < m_arrMessages.size(); ++i) {
      const std::string path = m_arrMessages.Path(i);
      const fs::path native = platform::MapPath(path);
      FUZZ_CHECK(native.parent_path() == own, "a message outside " + own.string() + ": " + Printable(path));
      FUZZ_CHECK(fs::is_regular_file(native), "a message that is no plain file: " + Printable(path));
    }
  }

  void CheckReply(const std::string& line, std::string_view reply,
                  const std::vector<std::string>& snapshot) {
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
      const std::string bytes = ReadFileBytes(platform::MapPath(snapshot[n - 1]));
      const std::string expected =
          "+OK " + std::to_string(bytes.size()) + " octets\r\n" + RetrText(bytes) + "\r\n.\r\n";
      FUZZ_CHECK(reply == expected, "RETR " + std::to_string(n) + " sent " + Printable(reply.substr(0, 200)));
      CheckOneTerminatorLine(reply, "RETR");
      return;
    }
    if (word == "TOP" && ok) {
      CheckOneTerminatorLine(reply, "TOP");
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
  std::string_view text = cursor.Rest();
  std::string_view carol = kCarolDefault;
  if (const std::size_t separator = text.find(kMessageSeparator); separator != std::string_view::npos) {
    carol = text.substr(separator + 1);
    text = text.substr(0, separator);
  }
  const fs::path carol_path = world.mail / kCarolMessage;
  fs::create_directories(carol_path.parent_path());
  FUZZ_CHECK(WriteFileBytes(carol_path, std::string(carol)), "cannot write carol's message");

  FakeConnection conn(&world.server);
  // Every input comes from an address of its own: failed logins of earlier
  // inputs do not lock it out.
  conn.peer = fuzz::NextPeerAddress();
  fuzz::CheckEverySend(conn);
  auto session = std::make_unique<CheckedSession>(conn, world);
  session->Attach(&conn, &conn);
  fuzz::FeedLikeConnection(*session, conn, text, sizes);
  session->NoteMarks();
  const std::set<std::string> marked_at_end = session->m_setLastMarked;
  session->OnSessionEnd();

  // Only marked messages are gone; the ones marked when the session ended
  // (or quit) are.
  std::map<std::string, std::string> contents = Contents();
  contents[kCarolMessage] = std::string(carol);
  for (const auto& [name, bytes] : contents) {
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
    FUZZ_CHECK(contents.count(file) == 1, "a file appeared: " + Printable(file));
  }
  session.reset();
  fs::remove(carol_path);
  world.Restore();
  return 0;
}
