// TReplyFeed: accept, swallow, send one piece, end; all non-blocking, all on the caller's
// thread.
#include "fuzz/TReplyFeed.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

TReplyFeed::TReplyFeed() {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      ::listen(FListen, 16) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &Len) != 0)
    throw std::runtime_error("reply feed: cannot listen on 127.0.0.1");
  FPort = ntohs(A.sin_port);
}

TReplyFeed::~TReplyFeed() {
  Drop();
  // Connections the client made but the feed never took.
  for (;;) {
    const int Fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) break;
    ::close(Fd);
  }
  ::close(FListen);
}

void TReplyFeed::Load(std::vector<TConnection> Script) {
  Drop();
  FScript = std::move(Script);
  FSent.clear();
  FEnded = false;
  FRequest.clear();
}

const std::string& TReplyFeed::LastSent() const {
  static const std::string None;
  return FSent.empty() ? None : FSent.back();
}

void TReplyFeed::Drop() {
  if (FCurrent >= 0) ::close(FCurrent);
  FCurrent = -1;
}

void TReplyFeed::End(bool Reset) {
  if (Reset) {
    const linger L{1, 0};
    ::setsockopt(FCurrent, SOL_SOCKET, SO_LINGER, &L, sizeof L);
  }
  Drop();
  FEnded = true;
}

void TReplyFeed::Step() {
  // The client has one connection at a time: a new one means it is done with the last.
  const int Fd = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (Fd >= 0) {
    Drop();
    FCurrent = Fd;
    // Pieces go out as they are handed over, not held back for the client's delayed ACK.
    const int One = 1;
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    FSent.emplace_back();
    FPiece = 0;
    FOffset = 0;
    FEnded = false;
    FRequest.clear();
  }
  if (FCurrent < 0) return;

  char Buffer[16384];
  for (;;) {
    const ssize_t N = ::recv(FCurrent, Buffer, sizeof Buffer, 0);
    if (N > 0) {
      FRequest.append(Buffer, static_cast<std::size_t>(N));
      continue;
    }
    if (N == 0) {  // the client has closed: nothing more goes out on this one
      Drop();
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    Drop();  // reset by the client
    return;
  }

  const std::size_t Index = FSent.size() - 1;
  const TConnection* Script = Index < FScript.size() ? &FScript[Index] : nullptr;
  // An empty piece would leave the client waiting for nothing.
  while (Script != nullptr && FPiece < Script->Pieces.size() && Script->Pieces[FPiece].empty())
    ++FPiece;
  if (Script == nullptr || FPiece >= Script->Pieces.size()) {
    End(Script != nullptr && Script->Reset);
    return;
  }
  const std::string& Piece = Script->Pieces[FPiece];
  if (FOffset < Piece.size()) {
    const ssize_t N =
        ::send(FCurrent, Piece.data() + FOffset, Piece.size() - FOffset, MSG_NOSIGNAL);
    if (N < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Drop();
      return;
    }
    if (N > 0) {
      FSent.back().append(Piece, FOffset, static_cast<std::size_t>(N));
      FOffset += static_cast<std::size_t>(N);
    }
  }
  if (FOffset >= Piece.size()) {
    ++FPiece;
    FOffset = 0;
  }
}
