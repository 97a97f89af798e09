// CSmtpSocket (smtp/smtp_socket.h) fed arbitrary command sequences and
// message text the way its connection thread feeds it, then the server's
// local delivery of every message it queued. The input's first byte picks
// the session's settings (AuthLocal, AuthRemote, forward rules, blocked
// senders, no local domain, one large message), the second the read sizes;
// the rest is what the client sends.
//
// Checked on every input:
//   - replies are whole lines ending in CR LF, each a three-digit code and a
//     blank or "-", in printable ASCII, with no CR or LF of their own;
//   - the receive buffer and the unwritten message text stay within their
//     limits whatever arrives;
//   - each queued spool file holds the session's envelope exactly (one
//     "x-sender:", one "x-receiver:" per accepted recipient) and reads back
//     with those recipients; it never holds CR LF "." CR LF (the text ends at
//     the first one); "250 OK: Queued as" comes once per queued file;
//   - after delivery, every queued message is in a mailbox or the queue,
//     nothing is left in the drop or temporary folder, and no file or folder
//     exists anywhere in the state root but the mailboxes of the accounts,
//     the catch-all account, the system folders, the hive and run/.
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/address.h"
#include "store/handed_spool_files.h"
#include "store/mail_store.h"
#include "common/text.h"
#include "fuzz_check.h"
#include "net/connection_thread.h"
#include "platform/paths.h"
#include "session_fuzz_support.h"
#include "smtp/smtp_socket.h"

namespace {

namespace fs = std::filesystem;
using fuzz::Printable;

// Option bits of the first input byte.
constexpr std::uint8_t kOptAuthLocal = 0x01;
constexpr std::uint8_t kOptNoAuthRemote = 0x02;
constexpr std::uint8_t kOptForwardRules = 0x04;
constexpr std::uint8_t kOptBlockedSenders = 0x08;
constexpr std::uint8_t kOptNoDomain = 0x10;
constexpr std::uint8_t kOptLargeMessage = 0x20;

constexpr const char* kAccountFolders[] = {"joe", "ann"};
constexpr const char* kCatchAll = "admin";

struct World {
  fs::path mail;
  CMailServer server;

  World() {
    mail = fuzz::FuzzHome() / "Mailboxes";
    for (const char* account : kAccountFolders) fs::create_directories(mail / account);
    server.SetMailFolder(mail.string() + "\\");
    server.m_arrDomains = {"d1.test"};
    server.m_arrAccounts = {{"joe", "Joe", "secret"}, {"ann", "Ann", "pw2"}};
    // QP_FUZZ_TRACE=<file>: the server's trace log of delivery, for looking
    // into a failing input.
    if (const char* trace = std::getenv("QP_FUZZ_TRACE"); trace != nullptr && *trace != '\0') {
      server.m_nLogLevel = LOG_DEBUG;
      server.m_LogFile.m_bEnabled = true;
      server.m_LogFile.Open(trace);
    }
  }

  // Back to the two empty account folders.
  void Reset() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(mail, ignored)) fs::remove_all(entry.path(), ignored);
    for (const char* account : kAccountFolders) fs::create_directories(mail / account);
  }
};

World& TheWorld() {
  static World world;
  return world;
}

bool IsPrintableAscii(std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Every reply line: "ddd" then " " or "-", printable.
void CheckReplies(const std::string& sent) {
  fuzz::CheckNoBareLineBreak(sent, "SMTP replies");
  FUZZ_CHECK(sent.empty() || sent.ends_with("\r\n"),
             "a reply without CR LF: " +
                 Printable(sent.substr(sent.size() - std::min<std::size_t>(sent.size(), 80))));
  std::size_t start = 0;
  while (start < sent.size()) {
    const std::size_t end = sent.find("\r\n", start);
    const std::string_view line = std::string_view(sent).substr(start, end - start);
    FUZZ_CHECK(line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                   std::isdigit(static_cast<unsigned char>(line[1])) &&
                   std::isdigit(static_cast<unsigned char>(line[2])) && (line[3] == ' ' || line[3] == '-'),
               "malformed reply line: " + Printable(line));
    FUZZ_CHECK(IsPrintableAscii(line), "reply with client bytes: " + Printable(line));
    start = end + 2;
  }
}

std::size_t CountQueuedReplies(const std::string& sent) {
  std::size_t count = 0;
  for (std::size_t at = sent.find("250 OK: Queued as: "); at != std::string::npos;
       at = sent.find("250 OK: Queued as: ", at + 1)) {
    if (at == 0 || sent.compare(at - 2, 2, "\r\n") == 0) ++count;
  }
  return count;
}

// The spool file just committed against the session's transaction.
void CheckSpoolFile(const CSmtpSocket& session, const std::string& path, const World& world) {
  FUZZ_CHECK(!session.m_arrRecipients.empty() && !session.m_strFrom.empty(),
             "a message stored without sender or recipients: " + Printable(session.m_strFrom));
  const fs::path native = platform::MapPath(path);
  FUZZ_CHECK(native.parent_path() == world.mail / kDropFolder, "spool file outside the drop folder: " + path);
  const std::string bytes = ReadFileBytes(native);
  std::string envelope = "x-sender: " + session.m_strFrom + "\r\n";
  for (const std::string& recipient : session.m_arrRecipients)
    envelope += "x-receiver: " + recipient + "\r\n";
  envelope += "Received: from ";
  FUZZ_CHECK(bytes.starts_with(envelope), "envelope differs from the session's: " + Printable(bytes));
  const std::size_t terminator = bytes.find("\r\n.\r\n");
  FUZZ_CHECK(terminator == std::string::npos,
             "a stored message holds the end of the text: " + Printable(bytes.substr(terminator, 200)));

  std::vector<std::string> expected;
  for (const std::string& recipient : session.m_arrRecipients) {
    std::string read = text::Trim(text::ToLower(recipient));
    if (!read.empty()) expected.push_back(read);
  }
  // What the delivery is handed (the file, still locked, and the
  // recipients) matches what the file reads back once that lock is gone.
  std::optional<HandedSpoolFile> handed = TakeHandedSpoolFile(path);
  FUZZ_CHECK(handed.has_value() && handed->file.IsOpen(), "a committed spool file not handed to its delivery");
  handed->file.Close();
  FUZZ_CHECK(handed->recipients == expected, "the delivery is handed other recipients (" +
                                                 std::to_string(handed->recipients.size()) + " of " +
                                                 std::to_string(expected.size()) + ")");
  std::vector<std::string> read;
  ReadRecipients(path, read);
  FUZZ_CHECK(read == expected, "the spool file reads back with other recipients (" +
                                   std::to_string(read.size()) + " of " + std::to_string(expected.size()) +
                                   ")");
}

// Where a path below the state root may be after a session and delivery.
bool IsAllowedFile(const std::string& relative, const std::set<std::string>& queued_names) {
  if (relative == "registry.db" || relative.starts_with("registry.db-") || relative.starts_with("run/"))
    return true;
  const std::string prefix = "Mailboxes/";
  if (!relative.starts_with(prefix)) return false;
  const std::string rest = relative.substr(prefix.size());
  const std::size_t slash = rest.find('/');
  if (slash == std::string::npos || rest.find('/', slash + 1) != std::string::npos) return false;
  const std::string folder = rest.substr(0, slash);
  const std::string name = rest.substr(slash + 1);
  const bool mailbox = folder == "joe" || folder == "ann" || folder == kCatchAll || folder == kQueueFolder;
  return mailbox && queued_names.count(name) == 1;
}

std::string JoinFiles(const std::set<std::string>& files) {
  std::string joined;
  for (const std::string& file : files) joined += file + " ";
  return joined;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  fuzz::InputCursor cursor(data, size);
  const std::uint8_t options = cursor.Byte();
  const fuzz::ChunkSizes sizes(cursor.Byte());
  const std::string_view text = cursor.Rest();

  FakeConnection conn(&world.server);
  // Every input comes from an address of its own: failed logins of earlier
  // inputs do not lock it out.
  conn.peer = fuzz::NextPeerAddress();
  fuzz::CheckEverySend(conn);
  auto session = std::make_unique<CSmtpSocket>();
  session->m_bAuthLocal = (options & kOptAuthLocal) ? 1 : 0;
  session->m_bAuthRemote = (options & kOptNoAuthRemote) ? 0 : 1;
  if (!(options & kOptNoDomain)) session->m_arrDomains = world.server.m_arrDomains;
  if (options & kOptForwardRules) {
    session->m_arrForwardRules = {"*@fwd.test|*@d1.test", "info@d1.test|joe@d1.test",
                                  "*@out.test|?x*@remote.test", "*|drop@d1.test"};
  }
  if (options & kOptBlockedSenders) session->m_arrBlockMailFrom = {"*@blocked.test", "spam*", "?"};
  session->Attach(&conn, &conn);
  std::map<std::string, std::string> envelopes;  // queued file name -> its recipients, for messages
  conn.on_deliver = [&](const std::string& path) {
    CheckSpoolFile(*session, path, world);
    std::string& recipients = envelopes[platform::FileNamePart(path)];
    for (const std::string& recipient : session->m_arrRecipients) recipients += "[" + recipient + "] ";
  };

  bool filled = false;
  auto before_read = [&] {
    FUZZ_CHECK(
        session->m_strMessage.size() <= CSmtpSocket::kMessageFlushSize + CConnectionThread::kReceiveChunk,
        "unwritten message text past its bound: " + std::to_string(session->m_strMessage.size()));
    FUZZ_CHECK(conn.sent.empty() || conn.sent.ends_with("\r\n"), "a reply left without CR LF");
    // One message larger than what the session keeps in memory, sent in
    // full reads as a fast client would.
    if ((options & kOptLargeMessage) && !filled && session->GetState() == SMTP_STATE_DATA) {
      filled = true;
      const std::string line = "filler line of a large message\r\n";
      std::string block;
      while (block.size() < CConnectionThread::kReceiveChunk - line.size()) block += line;
      for (std::size_t sent = 0; sent <= CSmtpSocket::kMessageFlushSize; sent += block.size()) {
        session->OnReceivedText(block);
        FUZZ_CHECK(
            session->m_strMessage.size() <= CSmtpSocket::kMessageFlushSize + CConnectionThread::kReceiveChunk,
            "unwritten message text past its bound");
      }
    }
  };
  fuzz::FeedLikeConnection(*session, conn, text, sizes, before_read);
  before_read();
  session->OnSessionEnd();
  session.reset();

  CheckReplies(conn.sent);
  FUZZ_CHECK(CountQueuedReplies(conn.sent) == conn.delivered.size(),
             "\"250 OK: Queued as\" without a spool file or the reverse");

  std::set<std::string> queued_names;
  for (const std::string& path : conn.delivered) {
    queued_names.insert(platform::FileNamePart(path));
    world.server.DeliverSpoolFile(path);
  }
  const std::set<std::string> files = FilesBelow(fuzz::FuzzHome());
  for (const std::string& file : files) {
    FUZZ_CHECK(IsAllowedFile(file, queued_names), "unexpected file after the session: " + Printable(file));
  }
  for (const std::string& name : queued_names) {
    bool found = false;
    for (const char* folder : {"joe", "ann", kCatchAll, kQueueFolder}) {
      found = found || files.count(std::string("Mailboxes/") + folder + "/" + name) == 1;
    }
    FUZZ_CHECK(found, "a queued message reached no mailbox and not the queue: " + name +
                          "\nrecipients: " + Printable(envelopes[name]) +
                          "\nfiles: " + Printable(JoinFiles(files)) + "\nreplies: " + Printable(conn.sent));
  }
  for (const std::string& folder : FoldersBelow(world.mail)) {
    const bool known = folder == "joe" || folder == "ann" || folder == kCatchAll || folder == kQueueFolder ||
                       folder == kDropFolder || folder == kTempFolder;
    FUZZ_CHECK(known, "a folder made from client text: " + Printable(folder));
  }
  world.Reset();
  return 0;
}
