// Queue passes against a real SMTP receiver on loopback: one transaction per
// remote recipient, local recipients skipped, the recipient limit, bad-mail
// copies for what cannot be delivered, and the running thread (change
// notification, delivery time, a stop during a pass).
#include <gtest/gtest.h>

#include "common/settings_registry.h"
#include "relay/relay_thread_test_support.h"
#include "store/relay_journal.h"

using namespace relaytest;

namespace {

using RelayQueueTest = RelayFixture;

TEST_F(RelayQueueTest, OneRecipientIsSentAndLeavesTheQueueAtOnce) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.10");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.10"}};
  const std::string file = QueuedFile({"<bob@remote.test>"});
  WriteFileBytes(Queued("A1.eml"), file);

  const std::uint64_t start = NowMs();
  Work().ProcessQueue();
  // A client that completed its dialogue is not waited for.
  EXPECT_LT(NowMs() - start, 2000u);

  const auto transactions = smtp.Transactions();
  ASSERT_EQ(transactions.size(), 1u);
  EXPECT_EQ(transactions[0].strMailFrom, " <alice@local.test>");
  EXPECT_EQ(transactions[0].arrRcpt, std::vector<std::string>{"<bob@remote.test>"});
  EXPECT_EQ(transactions[0].strData,
            "Received: from client ([127.0.0.1]) by local.test with fake;\r\n\tMon, 01 Jan 2024 00:00:00 GMT\r\n"
            "Subject: Test\r\nFrom: Alice <alice@local.test>\r\n\r\nHello.\r\n\r\n");
  EXPECT_TRUE(Files("queue").empty());
  EXPECT_TRUE(Files("queue/journal").empty()) << "the journal goes with the file";
  EXPECT_TRUE(Files("badmail").empty());
  const std::vector<std::string> expected = {
      "<RELAY> Detected new messages in queue.",
      "<RELAY> Checking file: A1.eml",
      "<RELAY> Delivering email to '<bob@remote.test>' (127.0.61.10)",
      "<RELAY> Connected to SMTP server.",
  };
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
  EXPECT_TRUE(Logged("<RELAY> Disconnected from SMTP server."));
  EXPECT_EQ(log.back(), "<RELAY> Finished delivery of mail.");
}

TEST_F(RelayQueueTest, EveryRemoteRecipientGetsATransactionOfItsOwn) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.11");
  m_Relay.m_mapMailServers = {{"remote.test", "127.0.61.11"}};
  WriteFileBytes(Queued("A2.eml"), QueuedFile({"<bob@remote.test>", "<carol@LOCAL.test>", "<dave@remote.test>"}));

  Work().ProcessQueue();

  const auto transactions = smtp.Transactions();
  ASSERT_EQ(transactions.size(), 2u);
  EXPECT_EQ(transactions[0].arrRcpt, std::vector<std::string>{"<bob@remote.test>"});
  EXPECT_EQ(transactions[1].arrRcpt, std::vector<std::string>{"<dave@remote.test>"});
  EXPECT_EQ(smtp.Connections(), 2);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayQueueTest, RecipientLimitHandlesAtMostNAndKeepsTheRest) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.12");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.12"}};
  const struct {
    const char* label;
    int nMax;
    std::vector<std::string> recipients;
    std::vector<std::string> sent;
    bool bLeftOver;
  } cases[] = {
      {"limit 2, a local recipient among the first two counts", 2,
       {"<ann@local.test>", "<r1@remote.test>", "<r2@remote.test>", "<r3@remote.test>", "<r4@remote.test>"},
       {"<r1@remote.test>"}, true},
      {"limit 2, only a local recipient left over", 2, {"<r1@remote.test>", "<r2@remote.test>", "<ann@local.test>"},
       {"<r1@remote.test>", "<r2@remote.test>"}, false},
      {"limit 3, exactly three", 3, {"<r1@remote.test>", "<r2@remote.test>", "<r3@remote.test>"},
       {"<r1@remote.test>", "<r2@remote.test>", "<r3@remote.test>"}, false},
      {"no limit", 0, {"<r1@remote.test>", "<r2@remote.test>", "<r3@remote.test>"},
       {"<r1@remote.test>", "<r2@remote.test>", "<r3@remote.test>"}, false},
  };
  std::size_t nSeen = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(BadMail("L.eml"));
    m_arrLog.clear();
    m_Relay.m_nMaxRecipients = c.nMax;
    const std::string file = QueuedFile(c.recipients);
    WriteFileBytes(Queued("L.eml"), file);

    Work().ProcessQueue();

    const auto transactions = smtp.Transactions();
    std::vector<std::string> sent;
    for (std::size_t i = nSeen; i < transactions.size(); ++i) sent.push_back(transactions[i].arrRcpt.at(0));
    nSeen = transactions.size();
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(Logged(text::Format("<RELAY> Recipient limit of %d reached.", c.nMax)), c.bLeftOver);
    EXPECT_EQ(fs::exists(BadMail("L.eml")), c.bLeftOver);
    if (c.bLeftOver) {
      EXPECT_EQ(ReadFileBytes(BadMail("L.eml")), file);
    }
    EXPECT_FALSE(fs::exists(Queued("L.eml")));
  }
}

TEST_F(RelayQueueTest, FileWithoutRecipientsGoesToBadMail) {
  m_Relay.m_mapMailServers = {{"*", "127.0.61.13"}};
  const std::string file = "x-sender: <a@local.test>\r\nSubject: nobody\r\n\r\nx-receiver: <late@remote.test>\r\n";
  WriteFileBytes(Queued("N.eml"), file);

  Work().ProcessQueue();

  EXPECT_TRUE(Logged("<RELAY> Unable to determine recipients for N.eml"));
  EXPECT_EQ(ReadFileBytes(BadMail("N.eml")), file);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayQueueTest, NextServerIsTriedWhenOneCannotBeReached) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.15");
  // Nothing listens on 127.0.61.14: its connect is refused at once.
  m_Relay.m_mapMailServers = {{"*", "127.0.61.14|127.0.61.15|"}};
  WriteFileBytes(Queued("F.eml"), QueuedFile({"<bob@remote.test>"}));

  Work().ProcessQueue();

  EXPECT_EQ(smtp.Transactions().size(), 1u);
  EXPECT_TRUE(Logged("<RELAY> Delivering email to '<bob@remote.test>' (127.0.61.14)"));
  EXPECT_TRUE(Logged("<RELAY> Cannot connect to remote server."));
  EXPECT_TRUE(Logged("<RELAY> Delivering email to '<bob@remote.test>' (127.0.61.15)"));
  EXPECT_TRUE(Files("badmail").empty());
}

TEST_F(RelayQueueTest, RejectedRecipientPutsACopyInBadMail) {
  FakeSmtpServer smtp;
  smtp.m_setReject = {"<nobody@remote.test>"};
  START_PEER_OR_SKIP(smtp, "127.0.61.16");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.16"}};
  const std::string file = QueuedFile({"<nobody@remote.test>", "<bob@remote.test>"});
  WriteFileBytes(Queued("R.eml"), file);

  Work().ProcessQueue();

  const auto transactions = smtp.Transactions();
  ASSERT_EQ(transactions.size(), 1u);
  EXPECT_EQ(transactions[0].arrRcpt, std::vector<std::string>{"<bob@remote.test>"});
  EXPECT_TRUE(Logged("<RELAY> 550 No such user here"));
  EXPECT_TRUE(Logged("<RELAY> Copying message to: " + m_Relay.m_strBadMailFolder));
  EXPECT_EQ(ReadFileBytes(BadMail("R.eml")), file);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayQueueTest, UnreachableDomainPutsACopyInBadMail) {
  m_Relay.m_mapMailServers = {{"*", "127.0.61.17"}};  // nothing listens
  const std::string file = QueuedFile({"<bob@remote.test>"});
  WriteFileBytes(Queued("U.eml"), file);

  Work().ProcessQueue();

  EXPECT_TRUE(Logged("<RELAY> Copying message to: " + m_Relay.m_strBadMailFolder));
  EXPECT_EQ(ReadFileBytes(BadMail("U.eml")), file);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayQueueTest, RecipientsTheJournalNamesAreNotSentAgain) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.24");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.24"}};
  const std::string file = QueuedFile({"<r1@remote.test>", "<r2@remote.test>", "<r3@remote.test>", "<r1@remote.test>"});
  WriteFileBytes(Queued("J.eml"), file);
  // Left by a pass that ended early: r1 delivered, r2 failed (its bad-mail
  // copy not made yet), and a line a crash cut short.
  fs::create_directories(m_mail / "queue" / "journal");
  WriteFileBytes(m_mail / "queue" / "journal" / "J.eml",
                 std::string(kRelayJournalHeader) + "\ndelivered\t<r1@remote.test>\nfailed\t<r2@remote.test>\ndeliv");

  Work().ProcessQueue();

  const auto transactions = smtp.Transactions();
  ASSERT_EQ(transactions.size(), 1u) << "r3 only; r1, named twice, is not sent again either";
  EXPECT_EQ(transactions[0].arrRcpt, std::vector<std::string>{"<r3@remote.test>"});
  EXPECT_EQ(ReadFileBytes(BadMail("J.eml")), file) << "the copy that stands for r2";
  EXPECT_TRUE(Files("queue").empty());
  EXPECT_TRUE(Files("queue/journal").empty());
}

TEST_F(RelayQueueTest, FileStaysUntilItsBadMailCopyIsMade) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.25");
  // Nothing listens on 127.0.61.29: mail for gone.test cannot be delivered.
  m_Relay.m_mapMailServers = {{"remote.test", "127.0.61.25"}, {"gone.test", "127.0.61.29"}};
  const std::string file = QueuedFile({"<nobody@gone.test>", "<bob@remote.test>"});
  WriteFileBytes(Queued("B.eml"), file);
  // A file where the bad-mail folder should be: no copy can be made there.
  fs::remove_all(m_mail / "badmail");
  WriteFileBytes(m_mail / "badmail", "not a folder");

  Work().ProcessQueue();

  EXPECT_EQ(smtp.Transactions().size(), 1u);
  EXPECT_EQ(Files("queue"), std::vector<std::string>{"B.eml"});
  EXPECT_TRUE(Logged("<RELAY> Copying message to: " + m_Relay.m_strBadMailFolder));
  EXPECT_EQ(Errors(), std::vector<std::string>{"<RELAY> ERROR: Cannot copy B.eml to the bad-mail folder: The "
                                               "system cannot find the path specified. It stays in the queue."});
  EXPECT_FALSE(Logged(text::Format("<RELAY> ERROR: Failed to delete: %s!", Queued("B.eml").c_str())));

  // Once the folder can take it, the next pass makes the copy and sends
  // nothing again.
  fs::remove(m_mail / "badmail");
  fs::create_directory(m_mail / "badmail");
  const int connections = smtp.Connections();
  Work().ProcessQueue();
  EXPECT_EQ(smtp.Connections(), connections);
  EXPECT_EQ(ReadFileBytes(BadMail("B.eml")), file);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayQueueTest, ServerThatGotTheTextWithoutAcceptingIsTheLastOneTried) {
  FakeSmtpServer silent, next;
  silent.m_strDataReply = "";  // hangs up after the text
  START_PEER_OR_SKIP(silent, "127.0.61.26");
  START_PEER_OR_SKIP(next, "127.0.61.27");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.26|127.0.61.27|"}};
  const std::string file = QueuedFile({"<bob@remote.test>"});
  WriteFileBytes(Queued("X.eml"), file);

  Work().ProcessQueue();

  EXPECT_EQ(silent.Transactions().size(), 1u);
  EXPECT_EQ(next.Connections(), 0) << "a second copy could go out";
  EXPECT_TRUE(Logged("<RELAY> The message was sent to 127.0.61.26 without an acceptance; no other server is tried."));
  EXPECT_EQ(ReadFileBytes(BadMail("X.eml")), file);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayQueueTest, FileOverTheSizeLimitGoesToBadMailWithTheReason) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.28");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.28"}};
  const std::string at_limit = QueuedFile({"<bob@remote.test>"});
  const std::string over = at_limit + "x";
  WriteFileBytes(Queued("AtLimit.eml"), at_limit);
  WriteFileBytes(Queued("Over.eml"), over);
  Work().m_nMaxMessageBytes = at_limit.size();

  Work().ProcessQueue();

  EXPECT_EQ(smtp.Transactions().size(), 1u) << "the file at the limit is sent";
  EXPECT_TRUE(Logged(text::Format("<RELAY> Message too large to relay: Over.eml has %zu bytes, the limit is %zu.",
                                  over.size(), at_limit.size())));
  EXPECT_EQ(Files("badmail"), std::vector<std::string>{"Over.eml"});
  EXPECT_EQ(ReadFileBytes(BadMail("Over.eml")), over);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayQueueTest, OnlyNewFileNamesCount) {
  WriteFileBytes(Queued("S1.eml"), QueuedFile({"<ann@local.test>"}));
  EXPECT_TRUE(Work().CheckForNewFiles());
  EXPECT_FALSE(Work().CheckForNewFiles()) << "a known file is not new";
  WriteFileBytes(Queued("S1.eml"), QueuedFile({"<ann@local.test>", "<bea@local.test>"}));
  EXPECT_FALSE(Work().CheckForNewFiles()) << "a changed file is not new";
  fs::create_directory(Queued("sub"));
  EXPECT_FALSE(Work().CheckForNewFiles()) << "a folder is not a file";
  fs::remove(Queued("S1.eml"));
  EXPECT_FALSE(Work().CheckForNewFiles()) << "a deleted file starts no pass";
  WriteFileBytes(Queued("S1.eml"), QueuedFile({"<ann@local.test>"}));
  EXPECT_TRUE(Work().CheckForNewFiles()) << "a name that went and came back is new again";
}

// The running thread: change notification, delivery within the time the
// service promises, and a stop that waits for the pass in progress (for a
// few seconds at most).
using RelayThreadRunTest = RelayFixture;

TEST_F(RelayThreadRunTest, RenamedFileIsDeliveredWithinTwoSeconds) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.20");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.20"}};
  ASSERT_TRUE(m_Relay.Start());

  for (const char* name : {"T1.eml", "T2.eml"}) {
    SCOPED_TRACE(name);
    const std::size_t nBefore = smtp.Transactions().size();
    const std::uint64_t start = NowMs();
    Enqueue(name, QueuedFile({"<bob@remote.test>"}));
    ASSERT_TRUE(WaitFor([&] { return smtp.Transactions().size() > nBefore && !fs::exists(Queued(name)); }, 2000));
    EXPECT_LT(NowMs() - start, 2000u);
  }
  m_Relay.Stop();
  EXPECT_TRUE(m_Relay.Ended().IsSet());
}

TEST_F(RelayThreadRunTest, FilesQueuedBeforeTheStartAreSent) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.21");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.21"}};
  WriteFileBytes(Queued("Old.eml"), QueuedFile({"<bob@remote.test>"}));
  ASSERT_TRUE(m_Relay.Start());
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(Queued("Old.eml")); }, 2000));
  EXPECT_EQ(smtp.Transactions().size(), 1u);
}

TEST_F(RelayThreadRunTest, QueueFolderThatCannotBeWatchedIsScanned) {
  FakeSmtpServer smtp;
  START_PEER_OR_SKIP(smtp, "127.0.61.23");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.23"}};
  ASSERT_TRUE(WriteRegDword("Settings", "ScanInterval", 1));
  fs::remove_all(m_mail / "queue");
  ASSERT_TRUE(m_Relay.Start());
  const std::string no_folder =
      "<RELAY> ERROR: Cannot watch the queue folder (No such file or directory); scanning it every 1 seconds.";
  ASSERT_TRUE(WaitFor([&] { return !Errors().empty(); }, 1000));
  EXPECT_EQ(Errors(), std::vector<std::string>{no_folder});

  // The folder comes (back): the scan finds what is in it and the thread
  // watches it again.
  fs::create_directories(m_mail / "queue" / "folder.eml");
  WaitFor([] { return false; }, 1500);
  EXPECT_FALSE(Logged("<RELAY> Detected new messages in queue.")) << "a queue holding only a folder starts no pass";
  EXPECT_TRUE(Logged("<RELAY> Watching the queue folder again."));
  Enqueue("W1.eml", QueuedFile({"<bob@remote.test>"}));
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(Queued("W1.eml")); }, 1000)) << "noticed by the watch";
  EXPECT_FALSE(Logged("<RELAY> WARNING: Processing undetected messages in queue."));

  // A queue folder put in the place of the watched one ends the watch; the
  // scan serves the new one.
  fs::rename(m_mail / "queue", m_mail / "queue.old");
  fs::create_directory(m_mail / "queue");
  Enqueue("W2.eml", QueuedFile({"<bob@remote.test>"}));
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(Queued("W2.eml")); }, 2500));
  EXPECT_EQ(smtp.Transactions().size(), 2u);
  EXPECT_EQ(Errors(), (std::vector<std::string>{no_folder,
                                                "<RELAY> ERROR: Cannot watch the queue folder (the folder was "
                                                "removed or moved away); scanning it every 1 seconds."}));
}

TEST_F(RelayThreadRunTest, StopWaitsForTheTransactionAndLeavesTheRestForTheNextStart) {
  FakeSmtpServer smtp;
  smtp.m_nDataDelayMs = 1500;
  START_PEER_OR_SKIP(smtp, "127.0.61.22");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.22"}};
  ASSERT_TRUE(m_Relay.Start());
  Enqueue("P.eml", QueuedFile({"<r1@remote.test>", "<r2@remote.test>", "<r3@remote.test>"}));
  ASSERT_TRUE(WaitFor([&] { return smtp.Connections() > 0; }, 2000));

  m_Relay.Stop();

  // The transaction in progress ran to its end and was recorded; the other
  // recipients wait in the queue.
  ASSERT_EQ(smtp.Transactions().size(), 1u);
  EXPECT_EQ(Files("queue"), std::vector<std::string>{"P.eml"});
  EXPECT_TRUE(Files("badmail").empty());
  EXPECT_TRUE(Logged("<RELAY> Stopping: P.eml stays in the queue for the next start."));
  EXPECT_TRUE(Logged("<RELAY> Finished delivery of mail."));

  // The next start sends the message to the others only.
  smtp.m_nDataDelayMs = 0;
  Work().m_StopEvent.Reset();
  Work().ProcessQueue();
  const auto transactions = smtp.Transactions();
  ASSERT_EQ(transactions.size(), 3u);
  EXPECT_EQ(transactions[1].arrRcpt, std::vector<std::string>{"<r2@remote.test>"});
  EXPECT_EQ(transactions[2].arrRcpt, std::vector<std::string>{"<r3@remote.test>"});
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(RelayThreadRunTest, StopCutsAWaitForTheFinalReplyShortAndKeepsTheMessage) {
  // The reply to the text would come long after the stop's grace.
  FakeSmtpServer smtp;
  smtp.m_nDataDelayMs = 9000;
  START_PEER_OR_SKIP(smtp, "127.0.61.24");
  m_Relay.m_mapMailServers = {{"*", "127.0.61.24"}};
  ASSERT_TRUE(m_Relay.Start());
  Enqueue("S.eml", QueuedFile({"<r1@remote.test>"}));
  ASSERT_TRUE(WaitFor([&] { return smtp.Connections() > 0; }, 2000));
  WaitFor([] { return false; }, 300);  // the text is out, the reply awaited

  const std::uint64_t start = NowMs();
  m_Relay.Stop();
  EXPECT_LT(NowMs() - start, 8000u);
  // Not settled: the message stays, with no record that would keep the
  // next start from sending it.
  EXPECT_EQ(Files("queue"), std::vector<std::string>{"S.eml"});
  EXPECT_FALSE(fs::exists(m_mail / "queue" / "journal" / "S.eml"));
  EXPECT_TRUE(Files("badmail").empty());
  EXPECT_TRUE(Logged("<RELAY> Stopping: S.eml stays in the queue for the next start."));
}

}  // namespace
