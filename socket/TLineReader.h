// TLineReader: ReadLn's reading of lines from the transport, with the look-ahead that lets the
// lines of one peek come from memory.
//
// A line is peeked into the buffer (the component's IOBuffer) until its LF shows; the bytes
// before it are received as they are found wanting, and the line's own bytes and those that
// follow stay in the transport, handed out from the look-ahead, until they are settled
// (received and dropped). Every other reader of the transport settles first.
#pragma once

#include <cstddef>
#include <string>

#include "socket/TLineLookAhead.h"
#include "socket/TTransferHost.h"
#include "socket/TTransport.h"

class TLineReader {
 public:
  TLineReader(char* Buffer, std::size_t Size) : FBuffer(Buffer), FSize(Size), FLookAhead(Buffer) {}

  TLineLookAhead& LookAhead() { return FLookAhead; }
  const TLineLookAhead& LookAhead() const { return FLookAhead; }
  // The length of the next line when the look-ahead holds it and bytes follow it (handing it
  // out receives nothing); 0 otherwise.
  std::size_t NextHeldLine() const;
  // True with the next line when the bytes peeked earlier hold a whole one; false, with the
  // look-ahead settled, when they do not. A cancel made before ends the call, line unread.
  bool FromLookAhead(TTransferHost& Host, TTransport& Wire, std::string& Line);
  // The peeks and receives of a line the look-ahead did not hold. Line is empty when the peer
  // closed or the connection ended before a line end came.
  void FromTransport(TTransferHost& Host, TTransport& Wire, std::string& Line);
  // Receives, and so drops, the bytes handed out from the look-ahead, and forgets it.
  void Settle(TTransferHost& Host, TTransport& Wire);

 private:
  void SettleIfUsedUp(TTransferHost& Host, TTransport& Wire);

  char* FBuffer;
  std::size_t FSize;
  TLineLookAhead FLookAhead;
};
