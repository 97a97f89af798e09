// A queued file read for the relay (see relay_message.h).
#include "relay/relay_message.h"

#include <algorithm>
#include <array>

#include "common/text.h"

namespace {

constexpr std::string_view kSenderMarker = "x-sender:";
constexpr std::string_view kReceiverMarker = "x-receiver:";
constexpr std::array<std::string_view, 2> kMarkers{kSenderMarker, kReceiverMarker};

// The line so far can still become an envelope line: it is the start of a
// marker, or begins with one.
bool CouldBeEnvelope(std::string_view line) {
  return std::any_of(kMarkers.begin(), kMarkers.end(), [line](std::string_view marker) {
    const std::size_t n = std::min(line.size(), marker.size());
    return text::StartsWithNoCase(marker, line.substr(0, n));
  });
}

// The sender of an "x-sender:" line, trimmed. It goes out inside the MAIL
// FROM command line, so it ends at the first control character: a stray
// CR in a stored line cannot smuggle a second command to the server.
std::string SenderText(std::string_view value) {
  const auto control = std::find_if(value.begin(), value.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 && c != '\t';
  });
  return text::Trim(value.substr(0, static_cast<std::size_t>(control - value.begin())));
}

}  // namespace

bool CRelayMessage::Open(const std::string& path) {
  m_File = platform::File::Open(path, platform::File::Mode::Read);
  m_strSender.clear();
  m_strLine.clear();
  m_strStored.clear();
  m_Encoder = CWireFormEncoder();
  m_cLastSent = '\n';
  m_bDone = false;
  m_bReadFailed = false;
  if (!m_File.IsOpen()) return false;

  // The envelope run, byte by byte: a line leaves it as soon as it cannot
  // begin with a marker any more, and the text starts with that line.
  for (;;) {
    bool at_end = false;
    if (!ReadMore(at_end)) return false;
    if (at_end) {
      // A last line without its line end: an envelope line when it holds a
      // whole marker, else the start of the text.
      if (!m_strLine.empty() && !TakeEnvelopeLine()) m_strStored = std::move(m_strLine);
      m_strLine.clear();
      return true;
    }
    const std::string chunk = std::move(m_strStored);
    m_strStored.clear();
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      const char c = chunk[i];
      const bool line_end = c == '\n';
      if (!line_end && m_strLine.size() < kMaxEnvelopeLine) m_strLine += c;
      const bool envelope = line_end ? TakeEnvelopeLine() : CouldBeEnvelope(m_strLine);
      if (envelope) {
        if (line_end) m_strLine.clear();
        continue;
      }
      // The text begins with this line: the bytes of it read so far (never
      // cut, since only a marker line grows past a marker's length), then
      // the rest of the chunk.
      m_strStored = std::move(m_strLine);
      m_strStored.append(chunk, i + (line_end ? 0 : 1), std::string::npos);
      m_strLine.clear();
      return true;
    }
  }
}

bool CRelayMessage::TakeEnvelopeLine() {
  std::string_view line = m_strLine;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // part of the line end
  if (text::StartsWithNoCase(line, kSenderMarker)) {
    m_strSender = SenderText(line.substr(kSenderMarker.size()));
    return true;
  }
  return text::StartsWithNoCase(line, kReceiverMarker);
}

bool CRelayMessage::ReadText(std::string& out, bool& done) {
  done = m_bDone;
  if (m_bDone) return true;
  if (m_strStored.empty()) {
    bool at_end = false;
    if (!ReadMore(at_end)) return false;
    if (at_end) {
      std::string held;
      m_Encoder.Finish(held);
      EndLines(held, out);
      // The last line ends (a CR of its own already began its line end),
      // then the empty line and the terminating dot.
      if (m_cLastSent != '\n') out += m_cLastSent == '\r' ? "\n" : "\r\n";
      out += "\r\n.";
      m_bDone = done = true;
      return true;
    }
  }
  Encode(m_strStored, out);
  m_strStored.clear();
  return true;
}

bool CRelayMessage::ReadMore(bool& at_end) {
  m_strStored.resize(m_nReadSize);
  const long got = m_File.Read(m_strStored.data(), m_nReadSize);
  m_strStored.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  if (got < 0) {
    m_bReadFailed = true;
    return false;
  }
  at_end = got == 0;
  return true;
}

void CRelayMessage::Encode(std::string_view stored, std::string& out) {
  std::string encoded;
  encoded.reserve(stored.size() + stored.size() / 8);
  m_Encoder.Feed(stored, encoded);
  EndLines(encoded, out);
}

void CRelayMessage::EndLines(std::string_view encoded, std::string& out) {
  for (const char c : encoded) {
    if (c == '\n' && m_cLastSent != '\r') out += '\r';
    out += c;
    m_cLastSent = c;
  }
}
