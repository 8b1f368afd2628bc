// TCaptureLoop: the receive loop of the captures (and of a derived component's bodies): the
// transport's bytes into the target's room until the peer closes, the connection ends, a
// cancel or the target says enough.
#pragma once

#include <cstddef>

#include "socket/TCallRef.h"
#include "socket/TLineReader.h"
#include "socket/TTransferHost.h"
#include "socket/TTransport.h"

// Where a capture receives next: Room(Target, Size, Wanted) names a buffer of Size bytes and
// the Wanted bytes (at least one, at most Size) the capture takes next; Take(Data, Count) keeps
// what arrived there. A receive may fill more of the buffer than is wanted with the bytes
// ReadLn handed out before, which are dropped.
struct TReceiveTarget {
  TCallRef<void(char*& Target, std::size_t& Size, std::size_t& Wanted)> Room;
  TCallRef<void(const char* Data, std::size_t Count)> Take;
};

class TCaptureLoop {
 public:
  // A receive takes up to Receive bytes at once; the counters still go by blocks of at most
  // Block bytes; messages are pumped after every PumpEvery bytes and whenever the loop waits.
  struct TSizes {
    std::size_t Receive, Block, PumpEvery;
  };
  TCaptureLoop(TTransferHost& Host, TTransport& Wire, TLineReader& Lines, TSizes Sizes)
      : FHost(Host), FWire(Wire), FLines(Lines), FSizes(Sizes) {}

  void Run(const TReceiveTarget& Target, TCallRef<bool()> WantMore);

 private:
  // One receive and its hand-over; false when the loop ends.
  bool ReceiveOnce(const TReceiveTarget& Target);
  void Count(std::size_t Received);

  TTransferHost& FHost;
  TTransport& FWire;
  TLineReader& FLines;
  TSizes FSizes;
  std::size_t FSincePump = 0;
};
