// TConnectionPool: the idle connections an HTTP/1.1 client keeps for its next requests, and
// the rules that decide whether a reply leaves its connection fit to keep.
//
// A connection is kept under a key of everything that makes it what it is: the scheme, the
// server (its canonical host and port), the proxy it goes through, and for TLS every setting
// that keys the session cache; it is only ever taken again under an equal key. The pool holds
// at most MaxIdle connections (the one idle longest goes first) and each for at most its idle
// time: the pool's, or less where the server's Keep-Alive said less. A connection taken is
// first looked at: one the server has closed meanwhile, or on which bytes came that nobody
// asked for, is closed and dropped instead.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "socket/TConnection.h"
#include "tls/TTlsSettings.h"

struct TPoolKey {
  std::string Scheme;  // lower case
  std::string Host;    // canonical (HostName::Canonical)
  int Port = 0;
  std::string Proxy;  // canonical; empty for a direct connection
  int ProxyPort = 0;
  std::optional<TTlsSettings> Tls;  // https only
  // Where the connection went when not by the host's own look-up (a route the caller set, or
  // the host the owner named after a failed look-up), and the families it was asked in.
  std::string Route;
  int AddressFamily = 0;
  // Plain http spoken as HTTP/2 by prior knowledge: a connection of another protocol.
  bool H2c = false;

  bool operator==(const TPoolKey&) const = default;
};

class TConnectionPool {
 public:
  using TClock = std::chrono::steady_clock;
  struct TLimits {
    std::size_t MaxIdle = 8;
    std::chrono::milliseconds MaxIdleTime{60000};
  };

  TConnectionPool() = default;
  explicit TConnectionPool(TLimits Limits) : FLimits(Limits) {}
  TConnectionPool(const TConnectionPool&) = delete;
  TConnectionPool& operator=(const TConnectionPool&) = delete;

  void SetLimits(TLimits Limits);
  const TLimits& Limits() const { return FLimits; }

  // Keeps Connection, numbered Number, idle from Now for at most the pool's idle time or
  // ServerIdle when the server gave a shorter one.
  void Put(TPoolKey Key, std::unique_ptr<TConnection> Connection, int Number,
           std::optional<std::chrono::milliseconds> ServerIdle, TClock::time_point Now);
  // The connection kept under Key that still stands, with its number, or nullptr. Every
  // connection past its idle time goes first, and those taken that the server closed or
  // wrote on unasked.
  std::unique_ptr<TConnection> Take(const TPoolKey& Key, TClock::time_point Now,
                                    int* Number = nullptr);
  // Closes every connection kept, TLS saying goodbye first.
  void Clear();
  std::size_t Size() const { return FIdle.size(); }
  // Closes every connection whose idle time has run out by Now; the owner calls it when
  // NextExpiry comes, so that no connection outlives its time waiting for a next request.
  void DropExpired(TClock::time_point Now);
  // When the first connection kept runs out of idle time; none when none is kept.
  std::optional<TClock::time_point> NextExpiry() const;

  // The Keep-Alive field's timeout parameter ("timeout=5, max=100"), when it gives one.
  static std::optional<std::chrono::milliseconds> KeepAliveTimeout(std::string_view Value);
  // Whether a reply leaves its connection fit for another request: its end was known by its
  // framing (FramedEnd), its Connection field (as listed) does not say "close", and where
  // the request or the reply was HTTP/1.0 (RequestMinor, ReplyMinor 0) it says "keep-alive".
  static bool ReplyKeeps(int RequestMinor, int ReplyMinor, std::string_view ConnectionField,
                         bool FramedEnd);

 private:
  struct TIdle {
    TPoolKey Key;
    std::unique_ptr<TConnection> Connection;
    int Number = 0;
    TClock::time_point Until;
  };
  // The connection still stands and nothing came on it: a receive that would block.
  static bool Standing(TConnection& Connection);

  TLimits FLimits;
  std::vector<TIdle> FIdle;  // the one kept longest first
};
