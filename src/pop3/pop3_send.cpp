// Sending messages (RETR) and message heads (TOP) straight from the message
// file, in pieces of at most kSendChunk bytes, so that a session holds about
// the same memory for a message of any size.
//
// The bytes on the wire are those of one reply built whole: RETR sends
// "+OK <file length> octets" CR LF, the text of the file (up to a NUL byte,
// less trailing white space and then trailing dots), CR LF "." CR LF; TOP
// sends "+OK" CR LF, the kept lines each with CR LF, "." CR LF. A "%" goes
// out as it is, and nothing is byte-stuffed. A message that fits in one
// piece goes out in one send through SendReplyText; a larger one is read
// twice: once to find where its trimmed text ends, then to send it.
#include <algorithm>
#include <string>

#include "common/text.h"
#include "platform/files.h"
#include "pop3/pop3_message_text.h"
#include "pop3/pop3_socket.h"

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
  const std::string& path = m_arrMessages[n - 1].m_strPath;
  platform::File file = platform::File::Open(path, platform::File::Mode::Read);
  const std::int64_t length = file.IsOpen() ? file.Size() : -1;
  if (length < 0) {
    SendReply("%s", kNoSuchMessage);
    return false;
  }
  // The text is the file as long as it was when it was opened.
  const std::uint64_t size = static_cast<std::uint64_t>(length);
  std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, kSendChunk)), '\0');
  auto read_next = [&](std::uint64_t& left) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    const std::size_t got = ReadFull(file, chunk.data(), want);
    left -= got;
    return got;
  };
  pop3::MessageTextEnd text_end;
  std::uint64_t left = size;
  std::size_t got = read_next(left);
  bool more = text_end.Feed(std::string_view(chunk.data(), got)) && got == chunk.size() && left > 0;
  // When the text lies in the first chunk, that chunk is the whole reply.
  const bool whole = !more;
  // Otherwise look ahead through the whole text for where its trimmed end lies.
  while (more) {
    got = read_next(left);
    more = text_end.Feed(std::string_view(chunk.data(), got)) && got > 0 && left > 0;
  }

  const std::string head = text::Format("+OK %lld octets\r\n", static_cast<long long>(length));
  if (whole) {
    if (n - 1 > m_nHighestRetrieved) m_nHighestRetrieved = n - 1;
    std::string reply = head;
    reply.append(chunk.data(), static_cast<std::size_t>(text_end.End()));
    reply.append(kRetrEnd);
    SetState(kStateSending);
    SendReplyText(reply);
    SetState(kStateTransaction);
    return true;
  }
  // Read again from the start and send up to the trimmed end.
  file = platform::File::Open(path, platform::File::Mode::Read);
  if (!file.IsOpen()) {
    SendReply("%s", kNoSuchMessage);
    return false;
  }
  if (n - 1 > m_nHighestRetrieved) m_nHighestRetrieved = n - 1;
  SetState(kStateSending);
  StreamMessageText(file, head, text_end.End(), chunk);
  SetState(kStateTransaction);
  return true;
}

void CPop3Socket::StreamMessageText(platform::File& file, const std::string& head,
                                    std::uint64_t length, std::string& chunk) {
  std::string logged = head;  // the start of the reply, for the trace log
  std::string start = head;   // the head goes with the first bytes of the text
  bool first = true;
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, chunk.size()));
    const std::size_t got = ReadFull(file, chunk.data(), want);
    if (got == 0) break;  // the file became shorter meanwhile
    length -= got;
    const std::string_view piece(chunk.data(), got);
    if (logged.size() < kRetrLogChars) logged.append(piece.substr(0, kRetrLogChars));
    if (first) {
      start.append(piece);
      if (!SendBytes(start, true)) return;
      first = false;
    } else if (!SendBytes(piece, false)) {
      return;
    }
  }
  if (logged.size() < kRetrLogChars) logged.append(kRetrEnd);
  if (first) {
    start.append(kRetrEnd).append(kLineEnd);
    if (!SendBytes(start, true)) return;
  } else if (!SendBytes("\r\n.\r\n", false)) {
    return;
  }
  LogReply(logged);
}

bool CPop3Socket::SendMessageTop(int n, int lines) {
  platform::File file = platform::File::Open(m_arrMessages[n - 1].m_strPath,
                                             platform::File::Mode::Read);
  if (!file.IsOpen()) {
    SendReply("%s", kNoSuchMessage);
    return false;
  }
  pop3::TopLineFilter filter(lines);
  std::string chunk(kSendChunk, '\0');
  std::string reply = "+OK\r\n";  // what is not sent yet
  // The start of what was sent, for the trace log: the reply less its final
  // CR LF when it fits the limit.
  constexpr std::size_t kLogCapture = kMaxLoggedTopReply + kLineEnd.size();
  std::string logged;
  std::uint64_t sent = 0;
  auto send = [&](bool is_first) {
    if (!SendBytes(reply, is_first)) return false;
    sent += reply.size();
    if (logged.size() < kLogCapture) logged.append(reply.substr(0, kLogCapture - logged.size()));
    reply.clear();
    return true;
  };
  bool first = true;
  bool more = true;
  while (more) {
    const std::size_t got = ReadFull(file, chunk.data(), chunk.size());
    if (got == 0) break;
    more = filter.Feed(std::string_view(chunk.data(), got), reply) && got == chunk.size();
    if (reply.size() >= kSendChunk) {
      if (!send(first)) return true;
      first = false;
    }
  }
  filter.Finish(reply);
  reply.push_back('.');
  if (first) {
    // The whole reply is small: one send, logged in full.
    SendReplyText(reply);
    return true;
  }
  reply.append(kLineEnd);
  if (!send(false)) return true;
  if (sent <= kLogCapture) {
    logged.resize(logged.size() - kLineEnd.size());
  } else {
    logged.resize(kMaxLoggedTopReply);
    logged.append("...");
  }
  LogReply(logged);
  return true;
}
