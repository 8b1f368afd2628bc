// A session's wire held in memory, for a caller that moves the peer's bytes itself (a test's
// server pumped in the same thread, a fuzzer): Feed appends what the peer sent, End says it
// closed, and the session pulls from what is there.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "tls/TTlsSession.h"

class TTlsFedWire : public TTlsWire {
 public:
  void Feed(std::string_view Bytes) { FIn.append(Bytes); }
  void End() { FEnded = true; }
  // No byte is waiting to be pulled.
  bool Empty() const { return FAt == FIn.size(); }

  TPull Pull(char* Data, std::size_t Size, std::size_t& Got) override {
    Got = std::min(Size, FIn.size() - FAt);
    if (Got == 0) return FEnded ? TPull::Ended : TPull::Blocked;
    std::memcpy(Data, FIn.data() + FAt, Got);
    FAt += Got;
    if (FAt == FIn.size()) {
      FIn.clear();
      FAt = 0;
    }
    return TPull::Got;
  }

 private:
  std::string FIn;
  std::size_t FAt = 0;
  bool FEnded = false;
};
