// Fuzz target: the HTTP/2 transport fed hostile frames from the server's side, in pieces cut
// where the input says. Whatever arrives, it must not crash, must not hand the reader more bytes
// than a reply holds, must not keep Pending() true while a receive would block (a wait would
// spin), and must end (by 0 or an error) once the server's bytes have ended.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz/FuzzRequire.h"
#include "http/Http2Transport.h"
#include "platform/WinSock.h"

namespace {

// The connection's bytes: what the server sends, from the input, a piece at a time; what the
// client sends, taken and dropped.
class TServerBytes final : public TTransport {
 public:
  TServerBytes(const std::uint8_t* Data, std::size_t Size) : FData(Data), FSize(Size) {}
  int Connect(const win::SOCKADDR_INET&) override { return 0; }
  int Receive(char* Buffer, int Size, int) override {
    if (FAt == FSize) return 0;
    if (FHeld) {  // every other call would block, as a socket does between arrivals
      FHeld = false;
      win::WSASetLastError(win::WSAEWOULDBLOCK);
      return -1;
    }
    FHeld = true;
    // The piece's length is the next byte's (1 to 256), then the bytes.
    const std::size_t Piece = std::min<std::size_t>(
        {static_cast<std::size_t>(FData[FAt]) + 1, FSize - FAt - 1, static_cast<std::size_t>(Size)});
    ++FAt;
    std::copy(FData + FAt, FData + FAt + Piece, Buffer);
    FAt += Piece;
    return static_cast<int>(Piece);
  }
  int Send(const char*, int Count, int) override { return Count; }
  bool Pending() const override { return false; }
  std::size_t Waiting() const override { return 0; }
  bool Close(bool) override { return false; }
  bool Ended() const { return FAt == FSize; }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
  bool FHeld = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TServerBytes Server(Data, Size);
  THttp2Transport H2(Server, "https");
  try {
    for (int Request = 0; Request < 2; ++Request) {
      H2.NextRequest();
      const std::string Block = "GET / HTTP/1.1\r\nHost: fuzz.test\r\n\r\n";
      for (int Tries = 0; H2.Send(Block.data(), static_cast<int>(Block.size()), 0) < 0; ++Tries)
        Require(Tries < 4, "the request's block is never taken");
      std::size_t Reply = 0;
      char Room[4096];
      for (int Blocked = 0;;) {
        const int Got = H2.Receive(Room, sizeof Room, 0);
        if (Got == 0) break;
        if (Got > 0) {
          Reply += static_cast<std::size_t>(Got);
          Require(Reply <= Size * 2 + 64, "the reply holds more than the server sent");
          continue;
        }
        Require(win::WSAGetLastError() == win::WSAEWOULDBLOCK, "a receive failed without an error");
        Require(!H2.Pending(), "Pending() while a receive would block");
        // The server's bytes have ended: the next receives must end the reply.
        if (Server.Ended()) Require(++Blocked < 4, "the reply never ends after the server's end");
      }
      H2.TakeFrames();
      if (!H2.Reusable()) break;
    }
  } catch (const std::exception&) {
    // A clear error is the expected end of a hostile exchange.
  }
  H2.Close(true);
  return 0;
}
