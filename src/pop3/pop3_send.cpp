// Sending messages (RETR) and message heads (TOP) straight from the message
// file, in pieces of at most kSendChunk bytes of the file, so that a session
// holds about the same memory for a message of any size.
//
// The bytes on the wire are those of one reply built whole: RETR sends
// "+OK <file length> octets" CR LF, the shown text of the file (its bytes up
// to a NUL, without the x-receiver lines of its envelope: pop3_message_text.h)
// less trailing white space and then trailing dots, in wire form, then CR LF
// "." CR LF; TOP sends "+OK" CR LF, the kept lines of the shown text in wire
// form each with CR LF, then "." CR LF. The wire form (store/wire_form.h)
// gives the lines that a client never dot-stuffed their dot, so a client that
// reads lines at LF never sees the end early. A "%" goes out as it is. A
// message whose shown text fits in one piece goes out in one send through
// SendReplyText; a larger one is read twice: once to find where its trimmed
// text ends, then to send it.
#include <algorithm>
#include <string>

#include "common/text.h"
#include "platform/files.h"
#include "pop3/pop3_message_text.h"
#include "pop3/pop3_socket.h"
#include "store/wire_form.h"

namespace {

constexpr const char* kNoSuchMessage = "-ERR no such message";
constexpr std::string_view kRetrEnd = "\r\n.";
constexpr std::string_view kLineEnd = "\r\n";

// Reads until `size` bytes or the end of the file; a read error counts as
// the end.
std::size_t ReadFull(platform::File& file, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const long count = file.Read(buffer + got, size - got);
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  return got;
}

}  // namespace

void CPop3Socket::LogReply(std::string_view reply) {
  if (m_nState != kStateSending) {
    CSessionSocket::LogReply(reply);
    return;
  }
  std::string shortened(reply.substr(0, kRetrLogChars));
  shortened += "...";
  CSessionSocket::LogReply(shortened);
}

bool CPop3Socket::SendMessage(int n) {
  // The text is the file as long as it was when it was opened.
  std::uint64_t size = 0;
  platform::File file = m_Folder.OpenPlainFile(m_arrMessages.FileName(n - 1), &size);
  if (!file.IsOpen()) {
    SendReply("%s", kNoSuchMessage);
    return false;
  }
  const auto length = static_cast<long long>(size);
  std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, kSendChunk)), '\0');
  pop3::MessageFileText shown_text;
  pop3::MessageTextEnd text_end;
  std::string shown;  // the shown text, while it fits in one piece
  bool whole = true;
  std::string part;
  auto take = [&] {
    text_end.Feed(part);
    if (whole) shown.append(part);
    if (shown.size() > kSendChunk) {
      whole = false;
      shown = std::string();
    }
    part.clear();
  };
  // Look through the whole text for where its trimmed end lies.
  bool more = true;
  for (std::uint64_t left = size; more && left > 0;) {
    const std::size_t got = ReadFull(file, chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size())));
    if (got == 0) break;
    left -= got;
    more = shown_text.Feed(std::string_view(chunk.data(), got), part);
    take();
  }
  shown_text.Finish(part);
  take();

  const std::string head = text::Format("+OK %lld octets\r\n", length);
  if (whole) {
    if (n - 1 > m_nHighestRetrieved) m_nHighestRetrieved = n - 1;
    std::string reply = head;
    CWireFormEncoder encoder;
    encoder.Feed(std::string_view(shown).substr(0, static_cast<std::size_t>(text_end.End())), reply);
    encoder.Finish(reply);
    reply.append(kRetrEnd);
    SetState(kStateSending);
    SendReplyText(reply);
    SetState(kStateTransaction);
    return true;
  }
  // Read the same file again from the start and send up to the trimmed end.
  if (!file.Seek(0)) {
    SendReply("%s", kNoSuchMessage);
    return false;
  }
  if (n - 1 > m_nHighestRetrieved) m_nHighestRetrieved = n - 1;
  SetState(kStateSending);
  StreamMessageText(file, head, size, text_end.End(), chunk);
  SetState(kStateTransaction);
  return true;
}

void CPop3Socket::StreamMessageText(platform::File& file, const std::string& head, std::uint64_t file_size,
                                    std::uint64_t text_length, std::string& chunk) {
  pop3::MessageFileText shown_text;
  CWireFormEncoder encoder;
  // The start of what was sent, for the trace log: the reply less its final
  // CR LF when it is that short.
  constexpr std::size_t kLogCapture = kRetrLogChars + kLineEnd.size();
  std::string logged;
  std::string wire = head;  // what is not sent yet: the head goes with the first bytes
  std::string part;
  bool first = true;
  auto send = [&] {
    if (logged.size() < kLogCapture) logged.append(std::string_view(wire).substr(0, kLogCapture - logged.size()));
    const bool sent = SendBytes(wire, first);
    first = false;
    wire.clear();
    return sent;
  };
  // Takes the shown bytes in `part` up to the trimmed end.
  auto encode = [&] {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(part.size(), text_length));
    encoder.Feed(std::string_view(part).substr(0, count), wire);
    text_length -= count;
    part.clear();
  };
  for (std::uint64_t left = file_size; text_length > 0 && left > 0;) {
    const std::size_t got = ReadFull(file, chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size())));
    if (got == 0) break;  // the file became shorter meanwhile
    left -= got;
    shown_text.Feed(std::string_view(chunk.data(), got), part);
    encode();
    if (!send()) return;
  }
  shown_text.Finish(part);
  encode();
  encoder.Finish(wire);
  wire.append(kRetrEnd).append(kLineEnd);
  if (!send()) return;
  if (logged.size() < kLogCapture) logged.resize(logged.size() - kLineEnd.size());
  LogReply(logged);
}

bool CPop3Socket::SendMessageTop(int n, int lines) {
  platform::File file = m_Folder.OpenPlainFile(m_arrMessages.FileName(n - 1));
  if (!file.IsOpen()) {
    SendReply("%s", kNoSuchMessage);
    return false;
  }
  pop3::MessageFileText shown_text;
  CWireFormEncoder encoder;
  pop3::TopLineFilter filter(lines);
  std::string chunk(kSendChunk, '\0');
  std::string part;  // the shown text of a piece of the file
  std::string wire;  // the same in wire form
  ChunkedReply reply(*this, "+OK\r\n");
  bool more = true;
  while (more) {
    const std::size_t got = ReadFull(file, chunk.data(), chunk.size());
    if (got == 0) break;
    more = shown_text.Feed(std::string_view(chunk.data(), got), part) && got == chunk.size();
    encoder.Feed(part, wire);
    part.clear();
    more = filter.Feed(wire, reply.Text()) && more;
    wire.clear();
    if (!reply.Flush()) return true;
  }
  shown_text.Finish(part);
  encoder.Feed(part, wire);
  encoder.Finish(wire);
  filter.Feed(wire, reply.Text());
  filter.Finish(reply.Text());
  reply.Finish();
  return true;
}

bool CPop3Socket::ChunkedReply::SendPending() {
  if (!m_Session.SendBytes(m_strPending, m_bFirst)) return false;
  m_bFirst = false;
  m_nSent += m_strPending.size();
  constexpr std::size_t kLogCapture = kMaxLoggedReply + kLineEnd.size();
  if (m_strLogged.size() < kLogCapture)
    m_strLogged.append(std::string_view(m_strPending).substr(0, kLogCapture - m_strLogged.size()));
  m_strPending.clear();
  return true;
}

void CPop3Socket::ChunkedReply::Finish() {
  m_strPending.push_back('.');
  if (m_bFirst) {
    // The whole reply is small: one send, logged in full.
    m_Session.SendReplyText(m_strPending);
    return;
  }
  m_strPending.append(kLineEnd);
  if (!SendPending()) return;
  if (m_nSent <= kMaxLoggedReply + kLineEnd.size()) {
    m_strLogged.resize(m_strLogged.size() - kLineEnd.size());
  } else {
    m_strLogged.resize(kMaxLoggedReply);
    m_strLogged.append("...");
  }
  m_Session.LogReply(m_strLogged);
}
