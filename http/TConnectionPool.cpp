// TConnectionPool: idle connections by key, oldest first, each until its own deadline.
#include "http/TConnectionPool.h"

#include <algorithm>
#include <exception>

#include "base/AsciiText.h"
#include "platform/WinSock.h"
#include "socket/TTransport.h"

namespace {

// Calls Each with every element of a comma-separated list, trimmed, empty ones left out.
template <class F>
void ForEachListed(std::string_view List, F&& Each) {
  while (!List.empty()) {
    const std::size_t Comma = List.find(',');
    const std::string_view Item = TrimBlanks(List.substr(0, Comma));
    if (!Item.empty()) Each(Item);
    List.remove_prefix(Comma == std::string_view::npos ? List.size() : Comma + 1);
  }
}

// Closes a connection dropped from the pool: TLS says goodbye first, without waiting.
void Close(std::unique_ptr<TConnection>& Connection) {
  if (Connection) Connection->Transport().Close(true);
  Connection.reset();
}

}  // namespace

void TConnectionPool::Clear() {
  for (TIdle& Idle : FIdle) Close(Idle.Connection);
  FIdle.clear();
}

void TConnectionPool::SetLimits(TLimits Limits) {
  FLimits = Limits;
  while (FIdle.size() > FLimits.MaxIdle) {
    Close(FIdle.front().Connection);
    FIdle.erase(FIdle.begin());
  }
}

void TConnectionPool::Put(TPoolKey Key, std::unique_ptr<TConnection> Connection, int Number,
                          std::optional<std::chrono::milliseconds> ServerIdle,
                          TClock::time_point Now) {
  std::chrono::milliseconds Idle = FLimits.MaxIdleTime;
  if (ServerIdle && *ServerIdle < Idle) Idle = *ServerIdle;
  if (!Connection || FLimits.MaxIdle == 0 || Idle.count() <= 0) return Close(Connection);
  DropExpired(Now);
  if (FIdle.size() >= FLimits.MaxIdle) {
    Close(FIdle.front().Connection);
    FIdle.erase(FIdle.begin());
  }
  FIdle.push_back({std::move(Key), std::move(Connection), Number, Now + Idle});
}

std::unique_ptr<TConnection> TConnectionPool::Take(const TPoolKey& Key, TClock::time_point Now,
                                                   int* Number) {
  DropExpired(Now);
  // The one kept last is the likeliest still to stand.
  for (auto It = FIdle.end(); It != FIdle.begin();) {
    --It;
    if (!(It->Key == Key)) continue;
    std::unique_ptr<TConnection> Found = std::move(It->Connection);
    const int Kept = It->Number;
    It = FIdle.erase(It);
    if (!Standing(*Found)) {
      Close(Found);
      continue;
    }
    if (Number != nullptr) *Number = Kept;
    return Found;
  }
  return nullptr;
}

bool TConnectionPool::Standing(TConnection& Connection) {
  if (Connection.Plain.Handle == NoSocket) return false;
  // A protocol over the connection has messages of its own between the requests (HTTP/2's
  // PING, SETTINGS, GOAWAY): it judges.
  if (TUpperTransport* Upper = Connection.Upper()) {
    try {
      return Upper->Standing();
    } catch (const std::exception&) {
      return false;
    }
  }
  char Byte = 0;
  // A peek: the connection's notifications are its next owner's business. A TLS record that
  // does not read (or an alert) says the connection is no longer one to use, not an error.
  try {
    const int Got = Connection.Transport().Receive(&Byte, 1, MSG_PEEK);
    return Got < 0 && win::WSAGetLastError() == win::WSAEWOULDBLOCK;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<TConnectionPool::TClock::time_point> TConnectionPool::NextExpiry() const {
  std::optional<TClock::time_point> First;
  for (const TIdle& Idle : FIdle)
    if (!First || Idle.Until < *First) First = Idle.Until;
  return First;
}

void TConnectionPool::DropExpired(TClock::time_point Now) {
  for (auto It = FIdle.begin(); It != FIdle.end();) {
    if (It->Until > Now) {
      ++It;
      continue;
    }
    Close(It->Connection);
    It = FIdle.erase(It);
  }
}

std::optional<std::chrono::milliseconds> TConnectionPool::KeepAliveTimeout(std::string_view Value) {
  std::optional<std::chrono::milliseconds> Found;
  ForEachListed(Value, [&](std::string_view Param) {
    const std::size_t Equals = Param.find('=');
    if (Found || Equals == std::string_view::npos ||
        !SameNoCase(TrimBlanks(Param.substr(0, Equals)), "timeout"))
      return;
    std::string_view Digits = TrimBlanks(Param.substr(Equals + 1));
    if (Digits.size() >= 2 && Digits.front() == '"' && Digits.back() == '"')
      Digits = Digits.substr(1, Digits.size() - 2);
    // Leading zeros say nothing ("0000000000" is 0).
    while (Digits.size() > 1 && Digits.front() == '0') Digits.remove_prefix(1);
    if (Digits.empty() || Digits.size() > 9 ||
        !std::all_of(Digits.begin(), Digits.end(), [](char C) { return C >= '0' && C <= '9'; }))
      return;
    Found = std::chrono::seconds(std::stol(std::string(Digits)));
  });
  return Found;
}

bool TConnectionPool::ReplyKeeps(int RequestMinor, int ReplyMinor, std::string_view ConnectionField,
                                 bool FramedEnd) {
  if (!FramedEnd) return false;
  bool Close = false;
  bool KeepAlive = false;
  ForEachListed(ConnectionField, [&](std::string_view Token) {
    Close = Close || SameNoCase(Token, "close");
    KeepAlive = KeepAlive || SameNoCase(Token, "keep-alive");
  });
  if (Close) return false;
  return (RequestMinor >= 1 && ReplyMinor >= 1) || KeepAlive;
}
