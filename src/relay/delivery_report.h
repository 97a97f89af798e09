// The delivery report (RFC 3464) the relay sends back to the sender of a
// message some recipients of which it gave up on: a multipart/report of a
// readable part, a message/delivery-status part with one group of fields
// per recipient, and the message's own headers (text/rfc822-headers).
//
// Every text that comes from outside (the remote server's reply, the
// addresses of the envelope, the host name) goes into a header or field
// only after control characters, line breaks and bytes outside ASCII are
// replaced, so nothing a remote server answers can add a line, a header or
// a MIME part; the boundary is chosen so that it appears nowhere in the
// copied headers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct FailedRecipient {
  std::string address;  // as the envelope names it ("<a@example.org>")
  std::string reply;    // the last reply, or why no server was reached
  bool timed_out = false;  // temporary failures until the retry time ran out
};

struct DeliveryReport {
  std::string host_name;         // the reporting host ("From: MAILER-DAEMON@...")
  std::string recipient;         // the bare address the report goes to
  std::string date;              // the Date header's value
  std::string report_id;         // unique: the Message-ID and the boundary
  std::string original_headers;  // the message's headers, lines ending CR LF
  std::vector<FailedRecipient> failed;
};

// The bare address to send a report to for an envelope sender as stored
// ("<a@b>", "<a@b> SIZE=12", "a@b"); empty for the empty sender "<>" and
// for any text that is no plain address (so no report goes out for it).
std::string ReportAddress(std::string_view sender);

// The report's message text (headers and body, lines ending CR LF).
std::string BuildDeliveryReport(const DeliveryReport& report);

// A text made safe for one header line: line breaks and other control
// characters become blanks, bytes outside ASCII "?", runs of blanks one
// blank, cut at `limit` bytes.
std::string HeaderSafeText(std::string_view text, std::size_t limit = 900);
