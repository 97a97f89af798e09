// The recording connection of the session tests (see fake_connection.h).
#include "fake_connection.h"

#include <algorithm>

void FakeConnection::PostDeliver(const std::string& path) {
  if (on_deliver) on_deliver(path);
  delivered.push_back(path);
}

bool FakeConnection::SendAll(std::string_view bytes) {
  if (fail_send || (fail_after >= 0 && sends >= fail_after)) return false;
  if (on_send) on_send(bytes);
  sent.append(bytes);
  std::string_view reply = bytes;
  if (reply.size() >= 2 && reply.substr(reply.size() - 2) == "\r\n") reply.remove_suffix(2);
  replies.emplace_back(reply);
  largest_send = std::max(largest_send, bytes.size());
  ++sends;
  return true;
}

int FakeConnection::EndDelays(CSessionSocket& session) {
  int ended = 0;
  while (session.IsDelayed()) {
    session.EndDelay();
    ++ended;
  }
  return ended;
}
