// quillctl queue and badmail: the listing with envelope and age, show,
// delete and retry, and ids that name nothing outside the folder.
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "ctl_test_support.h"
#include "quillctl/ctl_cli.h"

namespace quillctl {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMessage =
    "x-sender: <alice@local.test>\r\nx-receiver: <bob@a.test>\r\nx-receiver: <carol@b.test>\r\n\r\nHello\r\n";

class MailCommandTest : public CtlTest {
 protected:
  fs::path Folder(const char* name) const { return fs::path(Native("c:\\Mailboxes")) / name; }
  // A file `age_s` whole seconds older than the second `m_tNow`.
  void Put(const char* folder, const std::string& name, const std::string& text, int age_s) const {
    fs::create_directories(Folder(folder));
    std::ofstream(Folder(folder) / name, std::ios::binary) << text;
    fs::last_write_time(Folder(folder) / name,
                        std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(m_tNow - age_s)));
  }
  std::time_t m_tNow = std::time(nullptr);
};

TEST_F(MailCommandTest, ListingsShowIdSizeAgeSenderAndRecipients) {
  // quillctl counts an age in whole seconds of the clock as it runs: the
  // files are stamped against the current second, and stamped and listed
  // again when the clock ticked over before the listing was made.
  CtlResult queue, badmail, shown;
  do {
    m_tNow = std::time(nullptr);
    Put("queue", "0A1B.eml", kMessage, 7200);
    Put("queue", "0A1B.journal", "1 try", 10);
    Put("badmail", "FFFF.eml", "x-sender: <x@y>\r\n\r\n", 30);
    queue = Ctl({"queue", "list"});
    badmail = Ctl({"badmail", "list"});
    shown = Ctl({"queue", "show", "0a1b"});
  } while (std::time(nullptr) != m_tNow);
  EXPECT_EQ(queue.out,
            "ID    SIZE  AGE  SENDER              RECIPIENTS\n"
            "0A1B  93    2 h  <alice@local.test>  <bob@a.test>, <carol@b.test>\n");
  EXPECT_EQ(badmail.out, "ID    SIZE  AGE   SENDER  RECIPIENTS\nFFFF  19    30 s  <x@y>\n");
  const CtlResult json = Ctl({"queue", "list", "--json"});
  EXPECT_NE(json.out.find("\"recipients\": [\n      \"<bob@a.test>\",\n      \"<carol@b.test>\"\n    ]"),
            std::string::npos)
      << json.out;

  EXPECT_EQ(shown.code, kExitOk);
  EXPECT_EQ(shown.out, std::string("Id: 0A1B\nSize: 93 bytes\nAge: 2 h\nSender: <alice@local.test>\n"
                                   "Recipients: <bob@a.test>, <carol@b.test>\n\n") +
                           kMessage);
  EXPECT_NE(Ctl({"queue", "show", "0A1B", "--json"}).out.find("\"text\": \"x-sender: <alice@local.test>\\r\\n"),
            std::string::npos);
}

TEST_F(MailCommandTest, DeleteAndRetryTakeOnlyTheFoldersOwnMessages) {
  Put("queue", "AAAA.eml", kMessage, 0);
  Put("badmail", "BBBB.eml", kMessage, 0);
  Put("", "registry.eml", kMessage, 0);
  for (const char* id : {"../registry", "..\\registry.eml", "../badmail/BBBB", "CCCC"}) {
    const CtlResult result = Ctl({"queue", "delete", id});
    EXPECT_EQ(result.code, kExitFailed) << id;
    EXPECT_EQ(result.err, std::string("quillctl: there is no message '") + id + "' in the queue\n");
  }
  EXPECT_EQ(Ctl({"badmail", "retry", "../queue/AAAA"}).code, kExitFailed);
  EXPECT_TRUE(fs::exists(Folder("") / "registry.eml"));

  const CtlResult retried = Ctl({"badmail", "retry", "bbbb"});
  EXPECT_EQ(retried.code, kExitOk);
  EXPECT_EQ(retried.err,
            "quillctl: the relay is off (RelayMessages 0): the message waits in the queue until it is "
            "switched on\n");
  EXPECT_TRUE(fs::exists(Folder("queue") / "BBBB.eml"));
  EXPECT_FALSE(fs::exists(Folder("badmail") / "BBBB.eml"));

  Put("badmail", "AAAA.eml", "other", 0);
  EXPECT_EQ(Ctl({"badmail", "retry", "AAAA"}).err, "quillctl: the queue holds a message 'AAAA' already\n");
  EXPECT_EQ(Ctl({"queue", "delete", "AAAA"}).code, kExitOk);
  EXPECT_FALSE(fs::exists(Folder("queue") / "AAAA.eml"));
  EXPECT_TRUE(fs::exists(Folder("badmail") / "AAAA.eml"));
  EXPECT_FALSE(ReloadSignalled()) << "the mail store is no configuration";
}

}  // namespace
}  // namespace quillctl
