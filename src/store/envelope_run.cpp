// The leading envelope run of a spool file (see envelope_run.h).
#include "store/envelope_run.h"

#include "common/text.h"

namespace {

constexpr std::string_view kSenderPrefix = "x-sender:";
constexpr std::string_view kReceiverPrefix = "x-receiver:";

}  // namespace

bool CEnvelopeRun::Feed(std::string_view bytes, std::string* shown) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (m_bEnded) {
      if (shown) shown->append(bytes.substr(i));
      return false;
    }
    const char c = bytes[i];
    if (m_bAfterCr) {
      m_bAfterCr = false;
      m_strLine.push_back(c);
      EndLine(shown);
    } else if (c == '\n') {
      m_strLine.push_back(c);
      EndLine(shown);
    } else if (c == '\r') {
      m_strLine.push_back(c);
      m_bAfterCr = true;
    } else if (m_nContent >= kMaxLine) {
      // No envelope line: the run ends before it, and it is shown whole.
      m_bEnded = true;
      if (shown) shown->append(m_strLine).append(bytes.substr(i));
      m_strLine.clear();
      return false;
    } else {
      m_strLine.push_back(c);
      ++m_nContent;
    }
  }
  return !m_bEnded;
}

void CEnvelopeRun::Finish(std::string* shown) {
  if (!m_bEnded && !m_strLine.empty()) EndLine(shown);
  m_bAfterCr = false;
}

void CEnvelopeRun::EndLine(std::string* shown) {
  const std::string content = text::ToLower(std::string_view(m_strLine).substr(0, m_nContent));
  if (text::StartsWith(content, kReceiverPrefix)) {
    std::string recipient = text::Trim(std::string_view(content).substr(kReceiverPrefix.size()));
    if (m_pRecipients && !recipient.empty()) m_pRecipients->push_back(std::move(recipient));
  } else {
    // Anything but a sender line (the empty line included) ends the run.
    if (!text::StartsWith(content, kSenderPrefix)) {
      m_bEnded = true;
    } else if (m_pSender && m_pSender->empty()) {
      *m_pSender = text::Trim(std::string_view(content).substr(kSenderPrefix.size()));
    }
    if (shown) shown->append(m_strLine);
  }
  m_strLine.clear();
  m_nContent = 0;
}
