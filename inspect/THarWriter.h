// THarWriter: an exchange as an HTTP Archive (HAR 1.2), one entry per pass, written with
// nlohmann-json. Fields of our own start with "_", as the format allows: "_error" holds the
// message of a pass that failed midway (its response status is 0 then, unless its header
// had come whole), of a body shorter than its announced length, or, on the log, of an error
// that came after the last pass; "_errorStep" where that error happened ("lookup",
// "connect", "send", "receive", ...) when it says; "_encoding" marks a request body given in Base64;
// "_textKept" is the count of body bytes a text holds when it holds only the body's start;
// "_tls" the TLS session of an https pass (version, cipher, group, ALPN, SNI, resumption,
// the check's result or its waiver, the reason of a failure, the chain as sent), "_tunnel"
// the CONNECT exchange with the proxy, and a response's "_warning" a body that a close
// without close_notify may have cut. A pass spoken over HTTP/2 says "h2" as its httpVersion
// (as browsers write it), its stream in "_stream", and the frames of its connection from its
// request on in "_frames" (direction "sent" or "received", type, flags by name, stream,
// length, time in ms from the pass's start; the decoded headers of HEADERS and PUSH_PROMISE,
// the errorCode by name of RST_STREAM and GOAWAY, GOAWAY's lastStream, SETTINGS' or
// WINDOW_UPDATE's detail), "_framesLeftOut" counting those the record did not keep.
#pragma once

#include <chrono>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "inspect/TExchangePass.h"

class TExchangeRecorder;

class THarWriter {
 public:
  using TJson = nlohmann::ordered_json;

  // The whole document: log.version "1.2", log.creator ("Orrery" and the project's
  // version), one entry per pass; Error, when not empty, as the log's "_error".
  static TJson Document(const std::vector<TExchangePass>& Passes, const std::string& Error = "");
  static TJson Document(const TExchangeRecorder& Recorder);

  // The document as UTF-8 text, indented by two. Bytes of header values and URLs that are
  // not UTF-8 come out as U+FFFD (bodies that are not text are in Base64 already).
  static std::string Text(const TJson& Document);
  // Writes the text to FileName as SaveFile does: a regular file is replaced whole, a
  // device, a FIFO or a link is written in place. Raises EFCreateError or EWriteError
  // naming the file and the reason.
  static void Save(const std::string& FileName, const TJson& Document);

  // One pass as an entry.
  static TJson Entry(const TExchangePass& Pass);
  // blocked, dns, connect, send, wait, receive in milliseconds, from the pass's spans; -1
  // for a stage not reached (dns also for a dotted address, which needs no look-up). Once
  // the request is sent, the stage in progress when an error or a stop ended the pass lasts
  // until then (EndedAt). blocked is the time the owner was asked for another host after a
  // failed look-up, -1 when it was not; ssl, only for a pass that made a TLS handshake, is
  // also counted in connect.
  static TJson Timings(const TExchangePass& Pass);
  // ISO 8601 in local time with milliseconds and the offset: "2026-12-08T15:04:05.123+01:00".
  static std::string IsoTime(std::chrono::system_clock::time_point Time);
};
