// CPop3Socket: one POP3 session (RFC 1939 with CAPA and LAST, and STLS of
// RFC 2595; no APOP or AUTH). Lines come in through the connection framework's line cutting and
// replies go out through SendReply or, for RETR and TOP, are streamed from the
// message file in bounded pieces. The session works on a snapshot of the
// user's mailbox folder taken at login (pop3_mailbox.cpp); messages marked
// with DELE are deleted when the session ends, however it ends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/session_socket.h"
#include "platform/files.h"
#include "platform/win_types.h"
#include "pop3/pop3_message_list.h"

class CPop3Socket : public CSessionSocket {
 public:
  // The session's states (m_nState), numbered as they always were.
  enum State {
    kStateTransaction = 0,    // logged in: every command works
    kStateAuthorization = 1,  // from the greeting to a successful PASS
    kStateSending = 2,        // a RETR reply is on its way (its log line is shortened)
  };

  // How much of a message file is read and sent at a time: the memory a
  // session holds for RETR and TOP whatever the size of the message.
  static constexpr std::size_t kSendChunk = 64 * 1024;
  // Characters of a RETR reply written to the trace log (then "...").
  static constexpr std::size_t kRetrLogChars = 100;
  // A multi-line reply other than RETR's (TOP, LIST, UIDL) is logged in full
  // up to this many bytes, then cut with "...": the trace log must not take
  // a whole large message or the listing of a large mailbox in one line.
  static constexpr std::size_t kMaxLoggedReply = 64 * 1024;

  void ProcessCommand() override;
  // The end of the connection thread, whatever ended the session.
  void OnSessionEnd() override { DeleteMarkedMessages(); }

  // Mailbox view (pop3_mailbox.cpp).
  // Empties the snapshot and fills it from the folder of m_strUser.
  int BuildMessageList();
  // Deletes the file of every marked message and empties the snapshot.
  void DeleteMarkedMessages();

  int m_nHighestRetrieved = 0;
  CPop3MessageList m_arrMessages;
  std::string m_strUser;

  State GetState() const { return m_nState; }

 protected:
  void LogReply(std::string_view text) override;

 private:
  // The one place the state changes (the transitions are listed with it).
  void SetState(State state);

  // Command handlers (pop3_commands.cpp); `arg` is the text after the first
  // space, untrimmed.
  void OnUser(const std::string& arg);
  void OnPass(const std::string& arg);
  void OnCapa();
  void OnStls();
  void OnQuit();
  void OnStat();
  void OnList(const std::string& arg);
  void OnUidl(const std::string& arg);
  void OnRetr(const std::string& arg);
  void OnTop(const std::string& arg);
  void OnDele(const std::string& arg);
  void OnLast();
  void OnRset();
  // LIST and UIDL without argument: after `head`, one line per unmarked
  // message of its number, a space and what `second_word` appends for it.
  void SendListing(const char* head, const std::function<void(std::size_t, std::string&)>& second_word);
  // Checks message number n: replies and returns false when it is out of
  // range or marked.
  bool CheckMessageNumber(int n);

  // Message sending (pop3_send.cpp). Both reply "-ERR no such message" when
  // the file cannot be opened as a plain file (it has gone, or a link, pipe
  // or device took its name); false when nothing was sent for that reason.
  bool SendMessage(int n);
  bool SendMessageTop(int n, int lines);
  // Sends the head and the first `text_length` bytes of the shown text of
  // the file's first `file_size` bytes (what trimming leaves) in wire form,
  // then CR LF "." CR LF, reading the file in pieces of chunk's size; logs
  // the reply as a RETR reply when all of it went out.
  void StreamMessageText(platform::File& file, const std::string& head, std::uint64_t file_size,
                         std::uint64_t text_length, std::string& chunk);

  // A multi-line reply of any length (TOP, LIST, UIDL), sent in pieces of
  // about kSendChunk bytes as it is made, so that its memory stays bounded
  // however slowly the client reads; logged in full up to kMaxLoggedReply
  // bytes, then cut with "...". A reply that fits one piece goes out in one
  // send through SendReplyText, as a reply built whole.
  class ChunkedReply {
   public:
    ChunkedReply(CPop3Socket& session, std::string_view head) : m_Session(session), m_strPending(head) {}
    // The text not sent yet: the reply goes on at its end.
    std::string& Text() { return m_strPending; }
    // Sends the text once a piece is full; false when the connection
    // failed (the session is ending and nothing more is to be added).
    bool Flush() { return m_strPending.size() < kSendChunk || SendPending(); }
    // Adds the final "." line, sends what is left and logs the reply.
    void Finish();

   private:
    bool SendPending();

    CPop3Socket& m_Session;
    std::string m_strPending;
    std::string m_strLogged;  // the start of what was sent
    std::uint64_t m_nSent = 0;
    bool m_bFirst = true;
  };

  State m_nState = kStateAuthorization;
  // The mailbox folder of the snapshot, open from login to the end of the
  // session: its messages are opened and deleted by the names its listing
  // gave, whatever happens to the folder's path or to other names meanwhile.
  platform::Folder m_Folder;
};

// A message number as the client wrote it: leading white space skipped, an
// optional sign, then decimal digits up to the first other character; 0
// when there are none. Values beyond the range of int are clamped.
int ParseMessageNumber(std::string_view text);
