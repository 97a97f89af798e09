// Local delivery of spool files, at once or on the delivery worker: one copy per local
// mailbox, one queued copy for any number of remote recipients, the
// catch-all account, recipients that must not name a folder, a copy that
// fails, a spool file that cannot be read, and spool files left in the drop
// folder by an earlier run.
#include <gtest/gtest.h>

#include <mutex>

#include "common/settings_registry.h"
#include "mail_folder_fixture.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "smtp/smtp_socket.h"
#include "store/delivery_worker.h"
#include "support/fake_connection.h"

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

class Delivery : public MailFolderTest {
 protected:
  void SetUp() override {
    MailFolderTest::SetUp();
    fs::create_directories(Folder("drop"));
    WriteRegString("Settings", "CatchAllAccount", "admin");
  }
  // Writes a spool file into the drop folder and returns its path text.
  std::string Spool(const std::string& name, std::initializer_list<const char*> recipients,
                    const std::string& message = "Subject: t\r\n\r\nbody\r\n") {
    std::string text = "x-sender: <s@remote.test>\r\n";
    for (const char* r : recipients) text += std::string("x-receiver: ") + r + "\r\n";
    text += "Received: from c ([127.0.0.1]) by d1.test with X;\r\n\tThu, 01 Jan 1970 00:00:00 GMT\r\n" + message;
    WriteFileBytes(Folder("drop") / name, text);
    m_spoolText = text;
    return m_server->GetMailFolder() + "drop\\" + name;
  }
  // Every file below the mail folder, as "folder/name", sorted.
  Names AllFiles() const {
    Names names;
    for (const auto& entry : fs::recursive_directory_iterator(m_mailFolder)) {
      if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), m_mailFolder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string m_spoolText;
};

TEST_F(Delivery, CopiesPerRecipient) {
  struct Case {
    const char* label;
    std::vector<const char*> recipients;
    Names files;  // below the mail folder after delivery
  };
  const Case cases[] = {
      {"two local users", {"<joe@d1.test>", "<ann@d1.test>"}, {"ann/m.eml", "joe/m.eml"}},
      {"local user and two remote recipients, one queued copy",
       {"<r1@remote.test>", "<joe@d1.test>", "<r2@other.test>"}, {"joe/m.eml", "queue/m.eml"}},
      {"the same local user twice", {"<joe@d1.test>", "<joe@d1.test>"}, {"joe/m.eml"}},
      {"upper-case recipient finds its folder", {"<JOE@D1.TEST>"}, {"joe/m.eml"}},
      {"unknown users go to the catch-all account", {"<nobody@d1.test>", "<nemo@d1.test>"}, {"admin/m.eml"}},
      {"no recipient: nothing delivered", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(m_mailFolder);
    fs::create_directories(Folder("joe"));
    fs::create_directories(Folder("ann"));
    fs::create_directories(Folder("drop"));
    std::string text = "x-sender: <s@remote.test>\r\n";
    for (const char* r : c.recipients) text += std::string("x-receiver: ") + r + "\r\n";
    text += "Received: from c\r\n\r\nbody\r\n";
    WriteFileBytes(Folder("drop") / "m.eml", text);
    m_server->DeliverSpoolFile(m_server->GetMailFolder() + "drop\\m.eml");
    EXPECT_EQ(AllFiles(), c.files);
    for (const std::string& file : c.files) EXPECT_EQ(ReadFileBytes(m_mailFolder / file), text) << file;
  }
}

TEST_F(Delivery, QueuedCopyNamesEveryRecipient) {
  const std::string path = Spool("q.eml", {"<r1@remote.test>", "<joe@d1.test>", "<r2@remote.test>"});
  m_server->DeliverSpoolFile(path);
  EXPECT_EQ(ReadFileBytes(Folder("queue") / "q.eml"), m_spoolText);
  EXPECT_EQ(FilesIn(Folder("drop")), Names{});
}

TEST_F(Delivery, CatchAllAccountIsReadAtEachDelivery) {
  m_server->DeliverSpoolFile(Spool("a.eml", {"<nobody@d1.test>"}));
  WriteRegString("Settings", "CatchAllAccount", "postmaster");
  m_server->DeliverSpoolFile(Spool("b.eml", {"<nobody@d1.test>"}));
  EXPECT_EQ(FilesIn(Folder("admin")), Names{"a.eml"});
  EXPECT_EQ(FilesIn(Folder("postmaster")), Names{"b.eml"});
}

// A user part that cannot be a mailbox name never chooses a folder: not a
// system folder, nothing outside the mail folder.
TEST_F(Delivery, UnsafeUserPartsGoToTheCatchAll) {
  fs::create_directories(Folder("queue"));
  fs::create_directories(Folder("badmail"));
  fs::create_directories(m_root / "outside");
  const char* const users[] = {"<@d1.test>",        "<.@d1.test>",      "<..@d1.test>",
                               "<drop@d1.test>",    "<QUEUE@d1.test>",  "<BadMail@d1.test>",
                               "<.tmp@d1.test>",    "<../outside@d1.test>", "<..\\outside@d1.test>",
                               "<c:outside@d1.test>", "<a\tb@d1.test>"};
  for (const char* user : users) {
    SCOPED_TRACE(user);
    fs::remove_all(Folder("admin"));
    const std::string path = Spool("u.eml", {user});
    m_server->DeliverSpoolFile(path);
    EXPECT_EQ(FilesIn(Folder("admin")), Names{"u.eml"});
    EXPECT_EQ(FilesIn(Folder("queue")), Names{});
    EXPECT_EQ(FilesIn(Folder("badmail")), Names{});
    EXPECT_EQ(FilesIn(m_root / "outside"), Names{});
    EXPECT_EQ(FilesIn(Folder("drop")), Names{});
  }
}

// A catch-all name that cannot be a mailbox folder is taken for "admin", said
// once in the log: mail never lands in the mail folder itself, beside it or
// in a system folder.
TEST_F(Delivery, UnsafeCatchAllNamesAreTakenForAdmin) {
  EnableLog();
  fs::create_directories(m_root / "escape");
  const char* const names[] = {"", ".", "..", "..\\escape", "../escape", "a/b", "c:x", "x\ty", "drop",
                               "QUEUE", "BadMail", ".tmp"};
  int n = 0;
  for (const char* name : names) {
    SCOPED_TRACE(std::string("CatchAllAccount \"") + name + "\"");
    WriteRegString("Settings", "CatchAllAccount", name);
    const std::string file = "c" + std::to_string(n++) + ".eml";
    m_server->DeliverSpoolFile(Spool(file, {"<nobody@d1.test>"}));
    m_server->DeliverSpoolFile(Spool("again-" + file, {"<nemo@d1.test>"}));
    EXPECT_EQ(FilesIn(Folder("admin")), (Names{"again-" + file, file}));
    fs::remove_all(Folder("admin"));
  }
  EXPECT_EQ(FilesIn(m_root / "escape"), Names{});
  EXPECT_EQ(AllFiles(), Names{}) << "nothing in the mail folder itself or a system folder";
  const std::string log = LogText();
  std::size_t errors = 0;
  for (std::size_t at = log.find("ERROR: CatchAllAccount"); at != std::string::npos;
       at = log.find("ERROR: CatchAllAccount", at + 1))
    ++errors;
  EXPECT_EQ(errors, std::size(names)) << "one line for each unsafe value";
  EXPECT_NE(log.find("<SMTP> ERROR: CatchAllAccount \"x?y\" cannot name a mailbox, admin takes its mail\r\n"),
            std::string::npos);
}

// Only the leading envelope names recipients: an "X-Receiver:" header line
// of the message itself does not.
TEST_F(Delivery, HeaderLinesOfTheMessageAreNoRecipients) {
  const std::string path =
      Spool("h.eml", {"<joe@d1.test>"}, "X-Receiver: <evil@remote.test>\r\nx-receiver: <ann@d1.test>\r\n\r\nb\r\n");
  m_server->DeliverSpoolFile(path);
  EXPECT_EQ(AllFiles(), Names{"joe/h.eml"});
}

TEST_F(Delivery, FailedCopyKeepsTheSpoolFile) {
  EnableLog();
  WriteFileBytes(Folder("queue"), "in the way");  // no queue copy can be made
  const std::string path = Spool("f.eml", {"<joe@d1.test>", "<r@remote.test>"});
  m_server->DeliverSpoolFile(path);
  EXPECT_EQ(FilesIn(Folder("drop")), Names{"f.eml"});
  EXPECT_EQ(ReadFileBytes(Folder("drop") / "f.eml"), m_spoolText);
  const std::string log = LogText();
  EXPECT_NE(log.find("<SMTP> Incoming message: f.eml\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("<SMTP> ERROR: Delivery failed, message kept in drop folder: f.eml\r\n"), std::string::npos)
      << log;

  // The error is written at level Error: also when only errors are logged.
  m_server->m_nLogLevel = LOG_ERROR;
  m_server->DeliverSpoolFile(path);
  const std::string again = LogText().substr(log.size());
  EXPECT_EQ(again.find("Incoming message"), std::string::npos);
  EXPECT_NE(again.find("ERROR: Delivery failed"), std::string::npos);

  // Once copies can be made again, the next start delivers it.
  fs::remove(Folder("queue"));
  m_server->DeliverLeftoverSpoolFiles();
  EXPECT_EQ(AllFiles(), (Names{"joe/f.eml", "queue/f.eml"}));
  EXPECT_EQ(ReadFileBytes(Folder("queue") / "f.eml"), m_spoolText);
}

// A kept spool file is tried again by the timer's retry, and only a kept
// one; the copies made at the first try are not made again.
TEST_F(Delivery, KeptSpoolFilesAreTriedAgainWithoutCopyingTwice) {
  WriteFileBytes(Folder("queue"), "in the way");
  const std::string path = Spool("k.eml", {"<joe@d1.test>", "<r@remote.test>"});
  m_server->DeliverSpoolFile(path);
  m_server->FlushDeliveries();
  ASSERT_EQ(AllFiles(), (Names{"drop/k.eml", "joe/k.eml", "queue"}));

  Spool("waiting.eml", {"<ann@d1.test>"});  // its own delivery is still to come
  m_server->RetryKeptSpoolFiles();
  EXPECT_EQ(FilesIn(Folder("drop")), (Names{"k.eml", "waiting.eml"})) << "still failing: kept again";

  fs::remove(Folder("queue"));
  m_server->RetryKeptSpoolFiles();
  EXPECT_EQ(AllFiles(), (Names{"drop/waiting.eml", "joe/k.eml", "queue/k.eml"}));
  // joe's copy is still the one of the first try: the same file as the
  // queued copy made now.
  EXPECT_TRUE(fs::equivalent(Folder("joe") / "k.eml", Folder("queue") / "k.eml"));
  m_server->RetryKeptSpoolFiles();
  EXPECT_EQ(FilesIn(Folder("queue")), Names{"k.eml"}) << "nothing left to try";
}

// A spool file that cannot be read is accepted mail all the same: it is kept
// and said so, never deleted as if it named nobody.
TEST_F(Delivery, UnreadableSpoolFileIsKept) {
  EnableLog();
  const std::string path = Spool("u.eml", {"<joe@d1.test>"});
  {
    // Its open fails as when a writer holds it (or no descriptor is left).
    platform::File holder = platform::File::Open(path, platform::File::Mode::ReadExclusive);
    ASSERT_TRUE(holder.IsOpen());
    m_server->DeliverSpoolFile(path);
    m_server->FlushDeliveries();
  }
  EXPECT_EQ(AllFiles(), Names{"drop/u.eml"});
  EXPECT_NE(LogText().find("<SMTP> ERROR: Delivery failed, message kept in drop folder: u.eml\r\n"),
            std::string::npos);

  // A read error after the open: the same.
  fs::create_directories(Folder("drop") / "d.eml");
  m_server->DeliverSpoolFile(m_server->GetMailFolder() + "drop\\d.eml");
  EXPECT_NE(LogText().find("message kept in drop folder: d.eml\r\n"), std::string::npos);
  fs::remove(Folder("drop") / "d.eml");

  // A file that is gone by the time it is delivered: nothing to do or say.
  const std::size_t before = LogText().size();
  m_server->DeliverSpoolFile(m_server->GetMailFolder() + "drop\\gone.eml");
  EXPECT_EQ(LogText().substr(before).find("ERROR"), std::string::npos);

  m_server->DeliverLeftoverSpoolFiles();
  EXPECT_EQ(AllFiles(), Names{"joe/u.eml"});
}

TEST_F(Delivery, LeftoverSpoolFilesAreDeliveredAtStart) {
  Spool("A1.eml", {"<joe@d1.test>"});
  Spool("B2.EML", {"<ann@d1.test>"});
  Spool("C3.eml", {"<r@remote.test>"});
  WriteFileBytes(Folder("drop") / "notes.txt", "not a spool file");
  fs::create_directories(Folder("drop") / "sub.eml");
  m_server->DeliverLeftoverSpoolFiles();
  EXPECT_EQ(AllFiles(), (Names{"ann/B2.EML", "drop/notes.txt", "joe/A1.eml", "queue/C3.eml"}));
}

TEST_F(Delivery, NoDropFolderIsNoError) {
  fs::remove_all(Folder("drop"));
  m_server->DeliverLeftoverSpoolFiles();
  EXPECT_EQ(AllFiles(), Names{});
}

// The whole way from the session: the spool file it commits is delivered.
TEST_F(Delivery, FromSessionToMailbox) {
  FakeConnection conn;
  conn.server = m_server.get();
  CSmtpSocket session;
  session.m_arrDomains = {"d1.test"};
  session.Attach(&conn, &conn);
  for (const char* line : {"EHLO c", "AUTH PLAIN AGpvZQBzZWNyZXQ=", "MAIL FROM:<joe@d1.test>",
                           "RCPT TO:<Ann@d1.test>", "RCPT TO:<x@remote.test>", "DATA"}) {
    session.OnReceivedText(std::string(line) + "\r\n");
  }
  session.OnReceivedText("Subject: s\r\n\r\nhello\r\n.\r\n");
  ASSERT_EQ(conn.delivered.size(), 1u);
  m_server->DeliverSpoolFile(conn.delivered[0]);
  const std::string name = fs::path(platform::MapPath(conn.delivered[0])).filename().string();
  EXPECT_EQ(AllFiles(), (Names{"ann/" + name, "queue/" + name}));
  EXPECT_EQ(ReadFileBytes(Folder("ann") / name), ReadFileBytes(Folder("queue") / name));

  // A scan of the drop folder (a start, a reload) before the hand-over of
  // the next message arrives: the file is delivered once, and the late
  // hand-over finds it gone and has nothing to say.
  EnableLog();
  for (const char* line : {"MAIL FROM:<joe@d1.test>", "RCPT TO:<ann@d1.test>", "DATA"}) {
    session.OnReceivedText(std::string(line) + "\r\n");
  }
  session.OnReceivedText("Subject: s\r\n\r\nagain\r\n.\r\n");
  ASSERT_EQ(conn.delivered.size(), 2u);
  const std::string next = fs::path(platform::MapPath(conn.delivered[1])).filename().string();
  m_server->DeliverLeftoverSpoolFiles();
  m_server->DeliverSpoolFile(conn.delivered[1]);
  m_server->FlushDeliveries();
  Names expected{"ann/" + name, "ann/" + next, "queue/" + name};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(AllFiles(), expected);
  EXPECT_EQ(LogText().find("ERROR"), std::string::npos) << LogText();
}

}  // namespace

// On the worker: every spool file handed over (Deliver, or HandOver from any
// thread) is delivered off the calling thread, in order, each with its trace
// lines together; Stop waits for all of it; once stopped, Deliver delivers
// at once on the caller and HandOver takes nothing.
TEST_F(Delivery, WorkerDeliversEverythingHandedOverBeforeItStops) {
  std::mutex lock;
  std::vector<std::string> lines;
  bool off_caller = true;
  const platform::ThreadId caller = platform::CurrentThreadId();
  CDeliveryWorker worker([&](int, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock);
    lines.push_back(text);
    off_caller = off_caller && platform::CurrentThreadId() != caller;
  });
  worker.SetTarget(m_server->GetMailFolder(), {"d1.test"});
  const std::string early = Spool("early.eml", {"<joe@d1.test>"});
  EXPECT_FALSE(worker.HandOver(early)) << "no worker runs yet";
  ASSERT_TRUE(fs::remove(platform::MapPath(early)));
  ASSERT_TRUE(worker.Start());
  constexpr int kFiles = 30;
  Names expected;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "w" + std::to_string(100 + i) + ".eml";
    const std::string spool = Spool(name, {"<joe@d1.test>", "<ann@d1.test>"});
    if (i % 2 == 0) {
      worker.Deliver(spool);
    } else {
      EXPECT_TRUE(worker.HandOver(spool));
    }
    expected.push_back("ann/" + name);
    expected.push_back("joe/" + name);
  }
  worker.Stop();
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(AllFiles(), expected) << "every copy made and every spool file removed";
  EXPECT_TRUE(off_caller);
  ASSERT_EQ(lines.size(), 3u * kFiles);
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "w" + std::to_string(100 + i) + ".eml";
    EXPECT_EQ(lines[3 * i], "<SMTP> Incoming message: " + name);
    EXPECT_EQ(lines[3 * i + 1].rfind("<SMTP> Copying message to: ", 0), 0u) << lines[3 * i + 1];
    EXPECT_EQ(lines[3 * i + 2].rfind("<SMTP> Copying message to: ", 0), 0u) << lines[3 * i + 2];
  }

  lines.clear();
  worker.Deliver(Spool("after.eml", {"<joe@d1.test>"}));
  EXPECT_TRUE(fs::exists(Folder("joe") / "after.eml"));
  EXPECT_EQ(FilesIn(Folder("drop")), Names{});
  EXPECT_FALSE(worker.HandOver(Spool("late.eml", {"<joe@d1.test>"})));
  EXPECT_EQ(FilesIn(Folder("drop")), Names{"late.eml"}) << "left for the caller to deliver";
}
