// THarReader: an HTTP Archive (HAR 1.2, as browsers, proxies and THarWriter write it) read back
// into pass records, one entry at a time through nlohmann-json's SAX interface, so that a large
// file is never held as one document.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/HttpText.h"
#include "inspect/TExchangePass.h"

// One entry of the file. A file is data, never a request to be sent as it stands: the request
// fields a replay may copy are in Fields; the lines the component composes itself (Host,
// Content-Length, Connection, Transfer-Encoding, Proxy-*) are in Composed, shown in the
// pass's header block but never copied. HTTP/2 pseudo-header fields (":method", ...) are in
// neither; the Host of such an entry comes from its URL, and a reply that gives its status
// as ":status" only has it from there. Orrery's "_stream" and "_frames" are read back when
// present; nothing needs them.
struct THarEntry {
  std::size_t Index = 0;  // its place in log.entries
  // The request line and header block recomposed as the pass record keeps bytes sent, the
  // reply head as received, bodies decoded and whole (the file holds them already, so they are
  // not cut to BodyKept), stage times from the entry's timings where it gives them (a time it
  // leaves out stays unset).
  TExchangePass Pass;
  std::vector<THeaderField> Fields;
  std::vector<THeaderField> Composed;
  // Recorded over HTTP/2 or later (its versions say so, or its request lists pseudo-header
  // fields): its request line then says HTTP/2 (an HTTP/3 entry's keeps the file's version),
  // and the replay offers HTTP/2.
  bool Http2 = false;
  // The time the entry waited before its look-up (timings.blocked), which has no stage of
  // its own in a pass.
  std::optional<double> Blocked;
  bool BodyGiven = false;  // response.content had a text (an empty one counts)
  // For a reply body cut to THarReadOptions::BodyKept: the byte of the file where the value
  // of its response.content.text begins (its quote), for ReadBody; 0 when it was kept whole.
  std::uint64_t BodyAt = 0;
  bool BodyBase64 = false;  // that text is Base64
  // Why the entry cannot be replayed: "log.entries[3].request.headers[1].name: not a token".
  // A refused entry keeps nothing to send: Fields, Composed and the request header are empty.
  std::string Refused;
};

// The check result of a session a file says was not verified: no check gives it. Its reason
// (_tls.reason) comes in words only, kept as tpOther's and written again as they were read.
constexpr long RecordedVerifyResult = -1;

// The kind of what stopped a file's reading, for a reader that words it in its own language.
enum class THarFault : std::uint8_t {
  hfNone,
  hfOpen,  // the file could not be opened (OpenError tells why)
  // A folder, a FIFO or a device, refused unread when only a regular file is read.
  hfDirectory,
  hfPipe,
  hfDevice,
  hfEmpty,       // no text at all, or blanks only
  hfSyntax,      // no JSON from FaultByte on
  hfNotHar,      // JSON, but no object holding log.entries as an array
  hfTwice,       // log.entries given twice
  hfStopped      // the reader's owner asked it to stop
};

struct THarLog {
  std::string Creator;  // log.creator.name
  std::vector<THarEntry> Entries;
  // What stopped the reading before the file's end (a syntax error, a file that is no HAR),
  // with the place it happened; the entries read up to there are kept. Empty when whole.
  std::string Error;
  THarFault Fault = THarFault::hfNone;
  int OpenError = 0;           // errno, for hfOpen
  std::size_t FaultByte = 0;   // the byte the text broke at, for hfSyntax (from 1)
  bool InEntry = false;        // the fault came inside the last entry of Entries
};

// Shared between the thread that reads a file and the one that watches it.
struct THarProgress {
  std::atomic<bool> Stop{false};         // set by the watcher: the reading ends with hfStopped
  std::atomic<std::uint64_t> Read{0};    // bytes read so far
  std::atomic<std::uint64_t> Size{0};    // the file's size once it is open; 0 when unknown
};

struct THarReadOptions {
  // Reply bodies longer than this keep only their start, as a live pass keeps it; the count
  // stays whole. Entry.BodyAt then says where the whole text stands in the file.
  std::size_t BodyKept = std::numeric_limits<std::size_t>::max();
  // Only a regular file is read: a folder, a FIFO or a device is refused without a wait.
  bool RegularOnly = false;
  THarProgress* Progress = nullptr;
};

class THarReader {
 public:
  static THarLog Read(std::istream& In);
  static THarLog ReadText(std::string_view Text);
  // A file that cannot be opened gives a log with Error naming it and the reason.
  static THarLog ReadFile(const std::string& FileName, const THarReadOptions& Options = {});
  // The whole reply body of an entry ReadFile cut, read again from the file; nothing when
  // the file no longer holds it there, or Progress asked to stop.
  static std::optional<std::string> ReadBody(const std::string& FileName, const THarEntry& Entry,
                                             THarProgress* Progress = nullptr);

  // Whether a request line of this name is composed by the component, never copied from a
  // file.
  static bool ComposedField(std::string_view Name);
  // A field name or a method as HTTP allows it: one or more token characters.
  static bool IsToken(std::string_view Text);
};
