// The HTTP component's own errors: one class per kind, so that a caller can tell a refused
// URL from a misbehaving server or a body over its bound without reading message texts.
// Socket-level failures (look-up, connection, reset, time-out) stay the socket layer's
// ESockError and EAbortError, which say in which step and why they happened.
#pragma once

#include <cstdint>
#include <string>

#include "base/Exception.h"

class EHttpError : public Exception {
 public:
  using Exception::Exception;
};

// The URL or a Location cannot be requested: empty, a bad port, an IP literal that does not
// read or has a zone, a control character ("Invalid port in URL: 0", "IPv6 zone identifiers
// are not supported: [fe80::1%25eth0]"),
// a port that is no number at all, in the conversion's words ("'abc' is not a valid
// integer value").
class EHttpUrlError : public EHttpError {
 public:
  using EHttpError::EHttpError;
};

// A scheme the component does not speak ("HTTP Secure Socket is not supported",
// "Unsupported scheme in URL: javascript").
class EHttpSchemeError : public EHttpError {
 public:
  using EHttpError::EHttpError;
};

// A setting of the caller's that cannot go on the wire: a header value with CR, LF or NUL,
// a proxy port outside 1-65535, a header line the component computes itself.
class EHttpSettingError : public EHttpError {
 public:
  using EHttpError::EHttpError;
};

// The server's reply breaks HTTP's message syntax. The subclasses carry the fixed texts.
class EHttpProtocolError : public EHttpError {
 public:
  using EHttpError::EHttpError;
};
class EHttpConflictingLength : public EHttpProtocolError {
 public:
  EHttpConflictingLength() : EHttpProtocolError("Conflicting Content-Length") {}
};
class EHttpHeaderTooLarge : public EHttpProtocolError {
 public:
  EHttpHeaderTooLarge() : EHttpProtocolError("Reply header too large") {}
};
class EHttpMalformedChunk : public EHttpProtocolError {
 public:
  EHttpMalformedChunk() : EHttpProtocolError("Malformed chunked body") {}
};
class EHttpProtocolSwitch : public EHttpProtocolError {
 public:
  EHttpProtocolSwitch() : EHttpProtocolError("Protocol switch not supported") {}
};
// The connection ended before the first byte of the reply: there is no reply to judge at all,
// which is another thing than a reply without a usable status line. In curl's words.
class EHttpEmptyReply : public EHttpProtocolError {
 public:
  EHttpEmptyReply() : EHttpProtocolError("Empty reply from server") {}
  // With the reason the request was not sent again on a new connection.
  explicit EHttpEmptyReply(const std::string& Why)
      : EHttpProtocolError("Empty reply from server: " + Why) {}
};

// The body passed MaxBodySize; what was kept is its first Limit() bytes.
class EHttpBodyTooLarge : public EHttpError {
 public:
  explicit EHttpBodyTooLarge(std::int64_t ALimit)
      : EHttpError("Reply body larger than " + std::to_string(ALimit) + " bytes"), FLimit(ALimit) {}
  std::int64_t Limit() const { return FLimit; }

 private:
  std::int64_t FLimit;
};

// How a body that ended before its announced length is reported, in curl's words: the
// command line's exit 18 and the HAR's "_error" say the same.
inline std::string ShortBodyMessage(std::int64_t Remaining) {
  return "transfer closed with " + std::to_string(Remaining) + " bytes remaining to read";
}

// The connection ended inside a chunked body, before its last chunk: the body is short, as
// one that ends before its announced length is, and not malformed. No length tells how much
// is missing; curl's words say so.
class EHttpChunkedBodyCut : public EHttpError {
 public:
  EHttpChunkedBodyCut() : EHttpError("transfer closed with outstanding read data remaining") {}
};

// What a body that ended by a close without close_notify, and with no length to tell it
// whole, may be: the command line and the inspector say it in these words.
inline constexpr const char* TlsCutMessage =
    "the server closed without ending TLS: the body may be cut short";

class EHttpTooManyRedirections : public EHttpError {
 public:
  EHttpTooManyRedirections() : EHttpError("Too many redirections") {}
};

// Abort was called from a handler while a network step of the request was still to come.
class EHttpRequestAborted : public EHttpError {
 public:
  EHttpRequestAborted() : EHttpError("Request aborted") {}
};

// HTTP/2 broke: the server ended the stream or the connection with an error code, or sent
// what the protocol forbids. Stream: only the request's stream ended (RST_STREAM), the
// connection stood; otherwise the connection as a whole failed. Code is the protocol's error
// code (0 NO_ERROR, 1 PROTOCOL_ERROR ...) where one was given or sent.
class EHttp2Error : public EHttpError {
 public:
  EHttp2Error(const std::string& Message, std::uint32_t ACode, bool AStream)
      : EHttpError(Message), FCode(ACode), FStream(AStream) {}
  std::uint32_t Code() const { return FCode; }
  bool StreamOnly() const { return FStream; }

 private:
  std::uint32_t FCode;
  bool FStream;
};
// The server did not take the stream (REFUSED_STREAM, or a GOAWAY whose last stream is
// before it): nothing of the request was handled, and it may go again on a new connection.
class EHttp2Refused : public EHttp2Error {
 public:
  explicit EHttp2Refused(const std::string& Message) : EHttp2Error(Message, 7, true) {}
};
