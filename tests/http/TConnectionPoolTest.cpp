// The pool's rules: what a reply says of its connection and the server's idle time.
#include <gtest/gtest.h>

#include "http/TConnectionPool.h"

namespace {

// Whether a reply leaves its connection to keep, and the server's idle time, as the pool
// takes them.
TEST(TConnectionPool, WhatAReplySaysOfItsConnection) {
  const struct {
    int Asked, Minor;
    const char* Connection;
    bool Framed;
    bool Keeps;
  } Cases[] = {
      {1, 1, "", true, true},
      {1, 1, "", false, false},  // a body ended by the close leaves nothing to keep
      {1, 1, "Upgrade, Close", true, false},
      {1, 1, "keep-alive", true, true},
      {1, 0, "", true, false},
      {0, 1, "", true, false},  // a 1.0 request asked for no kept connection
      {1, 0, " Keep-Alive ", true, true},
      {1, 0, "keep-alive, close", true, false},
      {1, 1, "closed", true, true},  // a token, not a substring
      {1, 0, "keep\ralive", true, false},  // case folds letters only
  };
  for (const auto& C : Cases)
    EXPECT_EQ(TConnectionPool::ReplyKeeps(C.Asked, C.Minor, C.Connection, C.Framed), C.Keeps)
        << C.Asked << C.Minor << " [" << C.Connection << "] " << C.Framed;
  using std::chrono::seconds;
  EXPECT_EQ(TConnectionPool::KeepAliveTimeout("timeout=5, max=100"), seconds(5));
  EXPECT_EQ(TConnectionPool::KeepAliveTimeout("max=3,Timeout = \"2\""), seconds(2));
  EXPECT_EQ(TConnectionPool::KeepAliveTimeout("timeout=0000000000"), seconds(0));
  for (const char* None : {"", "max=5", "timeout=", "timeout=-1", "timeout=9999999999", "timeouts=5"})
    EXPECT_FALSE(TConnectionPool::KeepAliveTimeout(None).has_value()) << None;
}

}  // namespace
