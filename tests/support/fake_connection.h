// The connection thread and socket of one session, without a thread or a
// socket: what the session sends, logs and posts is recorded, and a test
// can make the connection look lost or make sends fail. Unit tests and the
// session fuzz targets drive every session through it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/session_socket.h"

class FakeConnection : public CConnectionContext, public SessionTransport {
 public:
  explicit FakeConnection(CServerLink* server = nullptr) : server(server) {}

  // CConnectionContext
  void Log(std::string_view text) override { log.emplace_back(text); }
  void TouchActivity() override { ++touches; }
  void PostQuit() override { ++quits; }
  void PostDeliver(const std::string& path) override;
  CServerLink* Server() override { return server; }
  const std::string& PeerAddress() const override { return peer; }
  bool IsTlsAvailable() const override { return tls_available; }
  bool IsEncrypted() const override { return encrypted; }
  // The handshake is not played: a test sets `encrypted` for its outcome.
  void StartTls() override { ++tls_starts; }
  // Delays are recorded; the test lets them pass with EndDelays.
  void StartDelay(unsigned ms) override { delays.push_back(ms); }
  // Ends the session's delays one after another, as their timers would,
  // until it holds none; returns how many ended.
  int EndDelays(CSessionSocket& session);

  // SessionTransport. A closed connection still takes sends: a test that
  // wants them refused sets `lost`.
  bool IsConnectionLost() override { return lost; }
  bool SendAll(std::string_view bytes) override;
  void Close() override { closed = true; }

  // Every byte sent, and each send without its final CR LF (when it has one).
  std::string sent;
  std::vector<std::string> replies;
  std::size_t largest_send = 0;
  int sends = 0;
  std::vector<std::string> log;
  std::vector<std::string> delivered;
  std::vector<unsigned> delays;  // every delay asked for, in milliseconds
  int touches = 0;
  int quits = 0;
  bool closed = false;
  int tls_starts = 0;

  // What the test makes happen.
  bool lost = false;       // IsConnectionLost
  bool fail_send = false;  // every send fails
  int fail_after = -1;     // sends that succeed before every further one fails
  CServerLink* server = nullptr;
  std::string peer = "127.0.0.1";
  bool tls_available = false;  // the server has a certificate
  bool encrypted = false;
  // Checks a test runs on every send and every delivery as they happen.
  std::function<void(std::string_view bytes)> on_send;
  std::function<void(const std::string& path)> on_deliver;
};
