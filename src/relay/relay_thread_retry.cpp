// Retries and reports, while RetryFor is above "0": a recipient that failed
// in a way that may pass is kept in the journal with its try count, the
// time of its first try, its next try and the last reply, and the file
// stays in the queue for it. A recipient that failed for good, or whose
// retry time has run out, gets the bad-mail copy as without retries, and
// its sender a delivery report, sent with the empty sender so that a report
// that cannot be delivered never causes another.
#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "common/text.h"
#include "net/server_link.h"
#include "platform/messages.h"
#include "relay/relay_message.h"
#include "relay/relay_thread_impl.h"
#include "store/spool_file.h"

namespace {

// The copied headers stop here; a report needs to name the message, not
// to carry it.
constexpr std::size_t kMaxReportHeaders = 64 * 1024;
// A report that cannot be queued is tried again after this many seconds.
constexpr std::time_t kReportRetrySeconds = 60;
constexpr const char* kExpiredField = "expired";

// The message's headers as the relay would send them: the text up to its
// first empty line (lines ending CR LF), at most kMaxReportHeaders bytes.
std::string ReadOriginalHeaders(CRelayMessage& message) {
  std::string text;
  for (bool done = false; !done && text.size() < kMaxReportHeaders;) {
    if (!message.ReadText(text, done)) break;
    const std::size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) return text.substr(0, end + 2);
  }
  text.resize(std::min(text.size(), kMaxReportHeaders));
  return text.substr(0, text.rfind("\r\n") == std::string::npos ? 0 : text.rfind("\r\n") + 2);
}

}  // namespace

bool CRelayThread::Impl::Defer(QueuedFile& file, CRelayJournalWriter& journal, const RelayJournalRecord* earlier,
                               const std::string& recipient, const Outcome& outcome,
                               std::vector<RelayJournalRecord>& ended) {
  const std::time_t now = std::time(nullptr);
  const long long tries = (earlier ? RelayJournalNumber(*earlier, kFieldTries) : 0) + 1;
  const long long first_try = earlier && RelayJournalNumber(*earlier, kFieldFirstTry) > 0
                                  ? RelayJournalNumber(*earlier, kFieldFirstTry)
                                  : static_cast<long long>(now);
  const std::string reply = HeaderSafeText(outcome.reply, 512);
  const std::time_t give_up_at = static_cast<std::time_t>(first_try + m_Policy.retry_for);

  RelayJournalRecord record{std::string(kRecipientDeferred), recipient, {}};
  SetRelayJournalField(record, kFieldTries, std::to_string(tries));
  SetRelayJournalField(record, kFieldFirstTry, std::to_string(first_try));
  SetRelayJournalField(record, kFieldReply, reply);
  if (outcome.temporary && now < give_up_at) {
    // The last try falls at the end of the retry time, not after it.
    const std::time_t next_try = std::min(now + m_Policy.WaitAfter(static_cast<int>(tries)), give_up_at);
    SetRelayJournalField(record, kFieldNextTry, std::to_string(next_try));
    Record(journal, file.name, record);
    Log("Deferred " + recipient + ": " + reply + "; next try in " + RetryWaitText(next_try - now) + ".");
    if (file.next_try == 0 || next_try < file.next_try) file.next_try = next_try;
    return true;
  }

  record.state = std::string(kRecipientFailed);
  if (outcome.temporary) {
    SetRelayJournalField(record, kExpiredField, "1");
    Log(text::Format("Giving up on %s after %lld tries: %s", recipient.c_str(), tries, reply.c_str()));
  }
  // A message that may have arrived is not reported as failed.
  if (!outcome.uncertain) SetRelayJournalField(record, kFieldBounce, std::string(kBounceDue));
  Record(journal, file.name, record);
  if (!outcome.uncertain) ended.push_back(record);
  return false;
}

void CRelayThread::Impl::SendBounce(QueuedFile& file, CRelayJournalWriter& journal,
                                    const std::vector<RelayJournalRecord>& ended) {
  auto mark = [&](std::string_view how) {
    for (RelayJournalRecord record : ended) {
      SetRelayJournalField(record, kFieldBounce, std::string(how));
      Record(journal, file.name, record);
    }
  };
  std::string names;
  for (const RelayJournalRecord& record : ended) names += (names.empty() ? "" : ", ") + record.recipient;

  CRelayMessage message;
  const bool readable = message.Open(file.path);
  const std::string to = readable ? ReportAddress(message.Sender()) : std::string();
  if (readable && to.empty()) {
    // The empty sender (itself a report) or no address a report could reach.
    Log("No bounce for " + file.name + " (" + names + "): it has no sender to return it to.");
    mark(kBounceNone);
    return;
  }

  DeliveryReport report;
  report.host_name = m_Owner.m_strHeloName.empty() ? kPlaceholderDomain : m_Owner.m_strHeloName;
  report.recipient = to;
  report.date = FormatGmtDate(CurrentUtcTime());
  report.report_id = CreateQueueId();
  if (readable) report.original_headers = ReadOriginalHeaders(message);
  for (const RelayJournalRecord& record : ended)
    report.failed.push_back({record.recipient, RelayJournalField(record, kFieldReply),
                             RelayJournalField(record, kExpiredField) == "1"});

  // Written into the drop folder like a received message: the server thread
  // delivers it to a local sender's mailbox or queues it for the relay.
  CSpoolFile spool;
  const bool queued = readable && !message.ReadFailed() && spool.Begin(MailFolder(), report.report_id) &&
                      spool.Write("x-sender: <>\r\nx-receiver: <" + to + ">\r\n") &&
                      spool.Write(BuildDeliveryReport(report)) && spool.Commit();
  if (!queued) {
    spool.Abandon();
    LogError("ERROR: Cannot queue the bounce for " + file.name + "; it is tried again later.");
    // The file stays in the queue, its report still due.
    const std::time_t again = std::time(nullptr) + kReportRetrySeconds;
    if (file.next_try == 0 || again < file.next_try) file.next_try = again;
    return;
  }
  platform::PostText(m_Owner.m_hNotifyWindow, WM_MAIL_DELIVER, spool.Path(), 0);
  Log("Bounce " + report.report_id + " for " + file.name + " queued to <" + to + ">: " + names + ".");
  mark(kBounceSent);
}
