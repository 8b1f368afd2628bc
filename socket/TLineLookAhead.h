// TLineLookAhead: the bytes ReadLn has peeked from the socket beyond the line it needed, so
// that the next lines come from memory instead of a peek and a receive each.
//
// The bytes stay in the socket until they are settled (received and dropped); of the peeked
// ones, the first Used() have been handed out as lines already. The socket calls are the
// component's: this class keeps the indices into its buffer and finds the lines.
#pragma once

#include <cstddef>
#include <string>

class TLineLookAhead {
 public:
  explicit TLineLookAhead(const char* Buffer) : FBuffer(Buffer) {}

  // Buffer[Begin, End) was peeked, and its first Used bytes are handed out already.
  void Hold(std::size_t Begin, std::size_t End, std::size_t Used);
  // True while some peeked bytes are known (handed out or not).
  bool Holds() const { return FEnd != FBegin; }
  // Bytes handed out but still in the socket.
  std::size_t Used() const { return FUsed; }
  // Peeked bytes not handed out yet: none once ForgetPeeked has left handed-out bytes
  // counted without the peeked ones they came from.
  std::size_t Left() const { return FUsed >= FEnd - FBegin ? 0 : FEnd - FBegin - FUsed; }
  // True when every peeked byte is handed out.
  bool UsedUp() const { return FUsed == FEnd - FBegin; }

  // The length of the next whole line (its LF included) among the peeked bytes not handed
  // out; 0 when they hold none.
  std::size_t NextLine() const;
  // Hands out the next Length bytes (a length NextLine gave) as Line.
  void HandOut(std::size_t Length, std::string& Line);

  // Forgets the peeked bytes but keeps count of the handed-out ones: a capture drops those
  // from the socket as it receives, and may overwrite the buffer.
  void ForgetPeeked() { FBegin = FEnd = 0; }
  // Count of Count handed-out bytes received and dropped from the socket.
  void Dropped(std::size_t Count) { FUsed -= Count; }
  // Forgets everything; returns the handed-out bytes still to be dropped from the socket.
  std::size_t Release();

 private:
  const char* FBuffer;
  std::size_t FBegin = 0;
  std::size_t FEnd = 0;
  std::size_t FUsed = 0;
};
