// SaveFile: writing a document or a reply to a name the user gave, without ever turning a
// device, a FIFO or a link into a regular file. Used by the HAR export and the reply's save.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// Writes Parts, one after the other, to FileName.
//
// A regular file, or no file at all, is replaced whole: the bytes go to a temporary name of
// its own in the same folder, which is renamed over FileName once every byte is on disk, so
// that a failure leaves what was there as it was (a file replaced keeps its mode; a new one
// gets the mode a new file gets here). Anything else is opened and written in place, as
// curl's -o writes: a link is followed (it stays a link, and what it points to gets the
// bytes), a device or a FIFO is opened for writing with truncation and never replaced. A
// FIFO that no process reads, and a regular file that may not be written, are refused.
//
// Raises EFCreateError when FileName cannot be opened or created, EWriteError when a write
// fails (a full device, a FIFO whose reader left); the message names the file and the
// reason. A broken pipe is an error here, not a signal that ends the program.
void SaveFile(const std::string& FileName, std::initializer_list<std::string_view> Parts);
