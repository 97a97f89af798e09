// The relay's delivery report (see delivery_report.h).
#include "relay/delivery_report.h"

#include <algorithm>
#include <cctype>

#include "common/address.h"
#include "common/text.h"

namespace {

constexpr std::size_t kMaxAddress = 320;

bool IsAddressByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7F && c != '<' && c != '>' && c != '"' && c != '(' && c != ')' &&
         c != ',' && c != ';' && c != '\\';
}

// "X.Y.Z" at the start of a reply's text (after its code), or empty.
std::string EnhancedStatus(std::string_view reply) {
  if (reply.size() < 5) return {};
  const std::string rest = text::TrimLeft(reply.substr(4));
  std::size_t i = 0;
  int dots = 0;
  for (; i < rest.size() && (std::isdigit(static_cast<unsigned char>(rest[i])) || rest[i] == '.'); ++i)
    dots += rest[i] == '.';
  const std::string status = rest.substr(0, i);
  if (dots != 2 || status.size() < 5 || status.back() == '.' || status.find("..") != std::string::npos) return {};
  if (status[0] != '4' && status[0] != '5') return {};
  if (status[1] != '.') return {};
  return status;
}

bool HasReplyCode(std::string_view reply) {
  return reply.size() >= 3 && (reply[0] == '4' || reply[0] == '5') &&
         std::isdigit(static_cast<unsigned char>(reply[1])) && std::isdigit(static_cast<unsigned char>(reply[2]));
}

// The Status field: the server's own enhanced code when it gave one that
// fits the failure, else a general one.
std::string StatusFor(const FailedRecipient& failed) {
  const std::string given = EnhancedStatus(failed.reply);
  if (failed.timed_out) return !given.empty() && given[0] == '4' ? given : "4.4.7";
  if (!given.empty() && given[0] == '5') return given;
  return HasReplyCode(failed.reply) ? "5.0.0" : "5.4.4";
}

// The message's header lines for the text/rfc822-headers part, each ended
// by CR LF: no empty line (it would end the part's headers early), no bare
// CR or other control character but TAB, no byte outside ASCII.
std::string CopiedHeaders(std::string_view headers) {
  std::string out;
  for (const std::string& raw : text::Split(headers, '\n')) {
    std::string_view line = raw;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    for (const char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      out += (byte < 0x20 && c != '\t') || byte == 0x7F ? ' ' : byte >= 0x80 ? '?' : c;
    }
    out += "\r\n";
  }
  return out;
}

}  // namespace

std::string HeaderSafeText(std::string_view text, std::size_t limit) {
  std::string out;
  out.reserve(std::min(text.size(), limit));
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const char safe = byte < 0x20 || byte == 0x7F ? ' ' : byte >= 0x80 ? '?' : c;
    if (safe == ' ' && (out.empty() || out.back() == ' ')) continue;
    if (out.size() >= limit) break;
    out += safe;
  }
  return text::TrimRight(out);
}

std::string ReportAddress(std::string_view sender) {
  const std::string trimmed = text::Trim(sender);
  std::string bare;
  if (!trimmed.empty() && trimmed[0] == '<') {
    const std::size_t close = trimmed.find('>');
    if (close == std::string::npos) return {};
    bare = trimmed.substr(1, close - 1);
  } else {
    bare = trimmed.substr(0, trimmed.find(' '));
  }
  if (bare.empty() || bare.size() > kMaxAddress) return {};
  for (const char c : bare)
    if (!IsAddressByte(c)) return {};
  // A source route ("@a,@b:user@c") or an address without its domain.
  if (bare[0] == '@' || bare.find('@') == std::string::npos) return {};
  return bare;
}

std::string BuildDeliveryReport(const DeliveryReport& report) {
  const std::string host = HeaderSafeText(report.host_name, 255);
  const std::string id = HeaderSafeText(report.report_id, 64);
  const std::string headers = CopiedHeaders(report.original_headers);
  std::string boundary = "=_report_" + id;
  while (headers.find(boundary) != std::string::npos) boundary += "_";

  std::string out;
  out += "From: Mail Delivery System <MAILER-DAEMON@" + host + ">\r\n";
  out += "To: <" + HeaderSafeText(report.recipient, kMaxAddress) + ">\r\n";
  out += "Subject: Undelivered Mail Returned to Sender\r\n";
  out += "Date: " + HeaderSafeText(report.date) + "\r\n";
  out += "Message-ID: <" + id + "@" + host + ">\r\n";
  out += "Auto-Submitted: auto-replied\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Content-Type: multipart/report; report-type=delivery-status;\r\n\tboundary=\"" + boundary + "\"\r\n";
  out += "\r\nThis is a MIME-encapsulated message.\r\n\r\n";

  out += "--" + boundary + "\r\n";
  out += "Content-Type: text/plain; charset=us-ascii\r\n";
  out += "Content-Description: Notification\r\n\r\n";
  out += "This is the mail system at host " + host + ".\r\n\r\n";
  out += "Your message could not be delivered to one or more recipients.\r\n";
  out += "It is attached below with its headers only.\r\n\r\n";
  for (const FailedRecipient& failed : report.failed) {
    out += "<" + HeaderSafeText(StripAngleBrackets(failed.address), kMaxAddress) + ">: ";
    out += failed.timed_out ? "gave up after trying for the retry time; last: " : "";
    out += HeaderSafeText(failed.reply) + "\r\n";
  }
  out += "\r\n";

  out += "--" + boundary + "\r\n";
  out += "Content-Type: message/delivery-status\r\n";
  out += "Content-Description: Delivery report\r\n\r\n";
  out += "Reporting-MTA: dns; " + host + "\r\n";
  for (const FailedRecipient& failed : report.failed) {
    const std::string reply = HeaderSafeText(failed.reply);
    out += "\r\nFinal-Recipient: rfc822; " + HeaderSafeText(StripAngleBrackets(failed.address), kMaxAddress) +
           "\r\n";
    out += "Action: failed\r\n";
    out += "Status: " + StatusFor(failed) + "\r\n";
    // A reply of the remote server is an SMTP diagnostic; a lookup or
    // connection failure is the relay's own text.
    out += (HasReplyCode(reply) ? "Diagnostic-Code: smtp; " : "Diagnostic-Code: x-local; ") + reply + "\r\n";
  }
  out += "\r\n";

  out += "--" + boundary + "\r\n";
  out += "Content-Type: text/rfc822-headers\r\n";
  out += "Content-Description: Undelivered message headers\r\n\r\n";
  out += headers;
  out += "\r\n--" + boundary + "--\r\n";
  return out;
}
