// The room of a capture into a string: how it grows, and its pages faulted in ahead of the data.
#pragma once

#include <cstddef>
#include <string>

// Room for at least Need more bytes. Below a large size the room doubles; above it grows by a
// large step at a time, which costs address space but no memory until it is written, so that
// a body of unknown length is not copied again and again on its way (each copy holds the old
// and the new block at once). Small rooms start at Least bytes.
void MakeRoom(std::string& Text, std::size_t Need, std::size_t Least);

// Fresh memory costs a fault per 4 KiB page at its first touch, and in a large capture those
// faults cost more than the copies. Asking the kernel to fill a few MiB of the room at once
// ahead of the data makes that one call instead of a thousand traps. The room past the data
// is never filled further ahead than that: a server's length may be a lie.
class TPrefault {
 public:
  void Ahead(std::string& Text, std::size_t Upto);

 private:
  const char* FBlock = nullptr;
  std::size_t FDone = 0;
  bool FUnsupported = false;
};

// The most a capture reserves at once, whatever a server announces.
constexpr std::size_t MaxReservation = std::size_t{1} << 30;
