// quillctl status, start, stop, restart, reload, log and test-dns: the
// installed service as the applet's General page sees and drives it (the
// service program run with "-s" and "-e", here waited for), the trace log's
// end, and the Relay page's DNS test.
#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "admin/relay_settings.h"
#include "admin/service_control.h"
#include "admin/stored_mail.h"
#include "common/system_messages.h"
#include "admin/value_parse.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/service_manager.h"
#include "platform/sockets.h"
#include "quillctl/ctl_commands.h"
#include "quillctl/ctl_output.h"

namespace quillctl {
namespace {

using admin::CServiceControl;
using admin::MailFolderKind;
using admin::ServiceManagerAccess;

// How long a port is given to take a connection before it counts as not
// listening (loopback answers at once).
constexpr DWORD kListenProbeMs = 500;
// How often a followed log is looked at.
constexpr unsigned kFollowIntervalMs = 250;
// Bytes read at a time from the end of the log while looking for its last
// lines.
constexpr std::int64_t kTailChunk = 8192;

bool Listening(int port) { return platform::Socket::Connect("127.0.0.1", port, kListenProbeMs).IsValid(); }

struct FolderSummary {
  std::size_t count = 0;
  std::int64_t oldest_age = 0;  // seconds; 0 when empty
};

FolderSummary Summarise(MailFolderKind kind) {
  FolderSummary summary;
  const std::vector<admin::StoredMessage> messages = admin::ListStoredMessages(kind);
  summary.count = messages.size();
  // Oldest first.
  if (!messages.empty()) summary.oldest_age = std::time(nullptr) - messages.front().modified;
  return summary;
}

// The native path of the trace log, or nothing when neither LogPath nor the
// installed service program names its folder.
std::optional<std::string> LogFile() {
  const CServiceControl service(ServiceManagerAccess::System());
  const std::optional<std::string> path = admin::LogFileToView(settings::ReadText(settings::kLogPath), service);
  if (!path) return std::nullopt;
  return platform::MapPath(*path);
}

// Writes log bytes with the service's CR LF line ends as LF.
void WriteLogText(std::ostream& out, std::string_view bytes) {
  out << text::ReplaceAll(bytes, "\r\n", "\n");
  out.flush();
}

// The offset where the last `lines` lines of the file begin.
std::int64_t TailStart(platform::File& file, std::int64_t size, int lines) {
  if (lines <= 0) return size;
  std::int64_t end = size;
  int breaks = 0;
  // A final line end closes the last line; it does not begin another.
  std::string chunk;
  while (end > 0) {
    const std::int64_t begin = end > kTailChunk ? end - kTailChunk : 0;
    chunk.resize(static_cast<std::size_t>(end - begin));
    if (!file.Seek(begin) || file.Read(chunk.data(), chunk.size()) != static_cast<long>(chunk.size())) return 0;
    for (std::int64_t i = end - 1; i >= begin; --i) {
      if (chunk[static_cast<std::size_t>(i - begin)] != '\n' || i == size - 1) continue;
      if (++breaks == lines) return i + 1;
    }
    end = begin;
  }
  return 0;
}

// Copies the file from `from` to its end; the new end.
std::int64_t CopyFrom(platform::File& file, std::int64_t from, std::ostream& out) {
  if (!file.Seek(from)) return from;
  char buffer[kTailChunk];
  for (;;) {
    const long got = file.Read(buffer, sizeof buffer);
    if (got <= 0) return from;
    WriteLogText(out, std::string_view(buffer, static_cast<std::size_t>(got)));
    from += got;
  }
}

}  // namespace

int Status(Invocation& invocation) {
  const ServiceManagerAccess access = ServiceManagerAccess::System();
  const bool installed = access.installed();
  const std::optional<DWORD> state = access.query_state();
  const std::optional<DWORD> pid = access.process_id();
  const std::string state_text = !installed ? admin::kServiceNotInstalledText
                                 : state    ? admin::ServiceStateText(*state)
                                            : "Unknown";
  const int pop3 = settings::ReadNumber(settings::kPort);
  const int smtp = settings::ReadNumber(settings::kSmtpPort);
  const bool pop3_listening = Listening(pop3);
  const bool smtp_listening = Listening(smtp);
  const std::string mail_folder = settings::ReadText(settings::kMailFolder);
  const std::optional<std::string> log = LogFile();
  const int log_level = settings::ReadNumber(settings::kLogLevel);
  const struct {
    const char* name;
    FolderSummary summary;
  } folders[] = {{"drop", Summarise(MailFolderKind::Drop)},
                 {"queue", Summarise(MailFolderKind::Queue)},
                 {"badmail", Summarise(MailFolderKind::BadMail)}};

  if (invocation.Has(kOptJson)) {
    Json folder_json = Json::Object();
    for (const auto& folder : folders)
      folder_json.Set(folder.name, Json::Object()
                                       .Set("count", Json::Number(static_cast<std::int64_t>(folder.summary.count)))
                                       .Set("oldest_age_seconds", Json::Number(folder.summary.oldest_age)));
    const auto port_json = [](int port, bool listening) {
      return Json::Object().Set("port", Json::Number(port)).Set("listening", Json::Bool(listening));
    };
    invocation.io.out << Json::Object()
                             .Set("service", Json::Object()
                                                 .Set("installed", Json::Bool(installed))
                                                 .Set("state", Json::String(state_text))
                                                 .Set("pid", pid ? Json::Number(*pid) : Json::Null())
                                                 .Set("program", Json::String(installed ? access.program_path() : "")))
                             .Set("ports", Json::Object()
                                               .Set("pop3", port_json(pop3, pop3_listening))
                                               .Set("smtp", port_json(smtp, smtp_listening)))
                             .Set("mail_folder", Json::String(mail_folder))
                             .Set("folders", std::move(folder_json))
                             .Set("log", Json::Object()
                                             .Set("path", log ? Json::String(*log) : Json::Null())
                                             .Set("level", Json::Number(log_level)))
                             .Dump()
                      << "\n";
    return kExitOk;
  }
  std::ostream& out = invocation.io.out;
  out << "Service:      " << state_text;
  if (pid) out << " (process " << *pid << ")";
  out << "\n";
  if (installed) out << "Program:      " << access.program_path() << "\n";
  const auto port_line = [&](const char* name, int port, bool listening) {
    out << name << port << (listening ? " (listening)" : " (not listening)") << "\n";
  };
  port_line("POP3 port:    ", pop3, pop3_listening);
  port_line("SMTP port:    ", smtp, smtp_listening);
  out << "Mail folder:  " << mail_folder << "\n";
  for (const auto& folder : folders) {
    out << text::Format("%-14s%zu", (std::string(folder.name) + ":").c_str(), folder.summary.count);
    if (folder.summary.count > 0) out << " (oldest " << AgeText(folder.summary.oldest_age) << ")";
    out << "\n";
  }
  out << "Trace log:    " << (log ? *log : std::string("unknown (no LogPath, no installed service)")) << " (level "
      << log_level << ")\n";
  return kExitOk;
}

int Start(Invocation& invocation) {
  CServiceControl service(ServiceManagerAccess::System());
  if (!ServiceManagerAccess::System().installed())
    return invocation.Fail("the service is not installed (quillpost -i installs it)");
  if (!service.StartAndWait()) return invocation.Fail("the service did not start");
  return kExitOk;
}

int Stop(Invocation& invocation) {
  CServiceControl service(ServiceManagerAccess::System());
  if (!ServiceManagerAccess::System().installed()) return invocation.Fail("the service is not installed");
  if (!service.StopAndWait()) return invocation.Fail("the service did not stop");
  return kExitOk;
}

int Restart(Invocation& invocation) {
  if (const int stopped = Stop(invocation); stopped != kExitOk) return stopped;
  return Start(invocation);
}

int Reload(Invocation&) {
  admin::SignalReloadEvent();
  return kExitOk;
}

int Log(Invocation& invocation) {
  const std::optional<std::string> path = LogFile();
  if (!path) return invocation.Fail("the trace log is not known: LogPath is empty and no service is installed");
  platform::File file = platform::File::Open(*path, platform::File::Mode::Read);
  if (!file.IsOpen())
    return invocation.Fail("the trace log " + *path +
                           " cannot be read: " + text::TrimRight(SystemErrorText(platform::LastFileError())));
  std::int64_t position = CopyFrom(file, TailStart(file, file.Size(), invocation.lines), invocation.io.out);
  if (!invocation.Has(kOptFollow)) return kExitOk;
  while (invocation.io.pause && invocation.io.pause(kFollowIntervalMs)) {
    // Opened again each time: the log may have been replaced meanwhile.
    file = platform::File::Open(*path, platform::File::Mode::Read);
    if (!file.IsOpen()) continue;
    const std::int64_t size = file.Size();
    if (size < position) position = 0;  // a new file from its start
    if (size > position) position = CopyFrom(file, position, invocation.io.out);
  }
  return kExitOk;
}

int TestDns(Invocation& invocation) {
  const std::string domain = admin::DnsTestDomain(invocation.operands[0]);
  std::string server = invocation.Has(kOptServer) ? invocation.server : settings::ReadText(settings::kDNSServer);
  // "--server ADDRESS:PORT" asks a server on another port than 53.
  int port = CDnsResolver::kDnsPort;
  if (const std::size_t colon = server.find(':'); invocation.Has(kOptServer) && colon != std::string::npos) {
    if (admin::RefuseInt(std::string_view(server).substr(colon + 1), 1, 65535, port))
      return invocation.Fail("the DNS server's port is a number from 1 to 65535");
    server.resize(colon);
  }
  std::vector<std::string> results;
  std::string error;
  const bool started = admin::DnsTestLookup(server, domain, results, error, port);
  const bool found = started && !results.empty();
  if (!found && error.empty()) error = "no MX records for " + domain;
  if (invocation.Has(kOptJson)) {
    Json json = Json::Object().Set("domain", Json::String(domain)).Set("server", Json::String(server));
    json.Set("records", Json::Strings(results));
    if (!found) json.Set("error", Json::String(error));
    invocation.io.out << json.Dump() << "\n";
    return found ? kExitOk : kExitFailed;
  }
  if (!found) return invocation.Fail(error);
  for (const std::string& record : results) invocation.io.out << record << "\n";
  return kExitOk;
}

}  // namespace quillctl
