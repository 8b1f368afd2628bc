// TReplyFeed: an HTTP server without a thread of its own, for fuzzing the reply reader. It
// listens on 127.0.0.1, port 0, and moves only when the client is about to wait (call Step
// from the application's wait hook): it accepts, swallows what the client sent and hands
// over the next piece of the scripted reply. So each piece really arrives on its own, and a
// run depends on nothing but its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TReplyFeed {
 public:
  struct TConnection {
    std::vector<std::string> Pieces;  // sent one per client wait, in order
    bool Reset = false;               // end with a reset instead of a close
  };

  TReplyFeed();
  ~TReplyFeed();
  TReplyFeed(const TReplyFeed&) = delete;
  TReplyFeed& operator=(const TReplyFeed&) = delete;

  // The replies for the connections to come, one each; connections beyond them are closed
  // at once. Forgets what earlier connections were sent.
  void Load(std::vector<TConnection> Script);
  // One move: accept a new connection (dropping the previous one), swallow the request,
  // send the next piece or end the connection when none is left.
  void Step();
  // Closes the connection in hand, if any.
  void Drop();

  std::uint16_t Port() const { return FPort; }
  // Connections accepted since Load.
  int Accepted() const { return static_cast<int>(FSent.size()); }
  // Bytes sent on the last accepted connection.
  const std::string& LastSent() const;
  // True when the last accepted connection has been ended by the feed (closed or reset).
  bool LastEnded() const { return FEnded; }
  // What the client sent on the last accepted connection.
  const std::string& LastRequest() const { return FRequest; }

 private:
  void End(bool Reset);

  int FListen = -1;
  std::uint16_t FPort = 0;
  std::vector<TConnection> FScript;
  std::vector<std::string> FSent;  // per accepted connection
  int FCurrent = -1;               // the connection in hand
  std::size_t FPiece = 0;          // next piece of the current connection
  std::size_t FOffset = 0;         // bytes of that piece already sent
  bool FEnded = false;
  std::string FRequest;
};
