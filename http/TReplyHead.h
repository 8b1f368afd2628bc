// TReplyHead: the reading of one reply's header block, apart from any socket: the status
// line, the header fields the component uses, interim (1xx) replies before the final one,
// the bound on the block's size, and the one classification of a status that the request
// loop follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What a reply's status asks of the request loop.
enum TReplyClass : std::uint8_t {
  rcSuccess,      // 1-298: OnSuccess
  rcFailure,      // 400 and above, or no usable status: OnFailure
  rcRedirection,  // 300-303, 307, 308 with a Location in that same reply: one more pass
  rcFinal         // any other 299-399: no result event and no further pass
};

// Fed the lines of a header block as they are read; knows when the block is over. A reply
// of 100 or 102-199 is an interim reply: its fields are forgotten and the next status line
// starts over. A field name is matched in any case up to its colon, and the blanks around
// a value are not part of it. A line that starts with a blank continues the field before it
// (an obsolete line folding): it joins that field's value with one space.
//
// A status line must start with "HTTP/", a digit, "." and a digit. One that does not is no
// HTTP reply at all (another protocol's greeting, an "ICY 200 OK" stream): the status is 0
// and the block ends with that line, so that nothing more of the stream is read as a
// header, or as a body either: the stream has no framing that would tell where it ends.
class TReplyHead {
 public:
  // The whole block, interim replies included, may hold this many bytes.
  static constexpr std::size_t MaxSize = std::size_t{1} << 20;

  // Takes one line as read, line end included; an empty text means the connection ended.
  // True when the block is over (the empty line after the final reply, or the end). Refuses
  // a line that would take the block past MaxSize (EHttpHeaderTooLarge), taking nothing.
  bool Take(std::string_view Line);
  // Once the block is over: refuses a 101 reply (EHttpProtocolSwitch) and a final reply
  // with two Content-Length values that differ (EHttpConflictingLength).
  void Check() const;

  // The status of the last status line taken; 0 before one, or when it has none.
  std::int16_t Status() const { return FStatus; }
  // The final reply's version, major times ten plus minor ("HTTP/1.1" 11); 0 without one.
  int Version() const { return FVersion; }
  // The final reply's Connection, Keep-Alive and Proxy-Connection fields, each as one list
  // (several lines joined with commas). A proxy of HTTP/1.0's days speaks of its own
  // connection to the client in Proxy-Connection.
  const std::string& ConnectionField() const { return FConnection; }
  const std::string& KeepAliveField() const { return FKeepAlive; }
  const std::string& ProxyConnectionField() const { return FProxyConnection; }
  bool HasStatusLine() const { return FStatusLines > 0; }
  // The last status line taken does not start as an HTTP status line does.
  bool NotHttp() const { return FNotHttp; }
  // The final reply's last Location value. HasLocation: that value is not empty;
  // HasLocationLine: the reply had a Location line at all, empty or not.
  bool HasLocation() const { return FHasLocation && !FLocation.empty(); }
  bool HasLocationLine() const { return FHasLocation; }
  const std::string& Location() const { return FLocation; }
  // The final reply's last Set-Cookie value, "" when it had none.
  const std::string& CookieIn() const { return FCookieIn; }
  // The final reply's Content-Length when it gave a usable one: all digits (at most 18),
  // or a list of equal such values.
  bool HasLength() const { return FHasLength; }
  std::int64_t Length() const { return FLength; }
  // The final reply's Transfer-Encoding ends with "chunked".
  bool Chunked() const { return FChunked; }
  // The final reply's Content-Encoding values, several lines joined by ","; "" when none.
  const std::string& ContentEncoding() const { return FContentEncoding; }
  std::size_t Size() const { return FSize; }

  // The second blank-separated word of a status line as a number; 0 when it is not a
  // decimal number or does not fit the signed 16 bits.
  static std::int16_t StatusCode(std::string_view StatusLine);
  // "HTTP/", a digit, "." and a digit, then a space or the line end (RFC 9112, 2.3 and 4); with
  // Http2, also "HTTP/2" so ended, the form a reply over HTTP/2 takes.
  static bool IsHttpStatusLine(std::string_view Line, bool Http2 = false);
  // The head comes over HTTP/2: its status line says "HTTP/2". Over HTTP/1.x such a line is
  // no HTTP/1.x reply.
  void OverHttp2() { FHttp2 = true; }
  static bool IsInterim(int Status) { return Status == 100 || (Status >= 102 && Status <= 199); }
  // HasLocation: the reply itself carries a Location line with a value.
  static TReplyClass Classify(int Status, bool HasLocation);
  // Whether Line is a field named LowerName (lower case); Value then gets its trimmed value.
  static bool IsField(std::string_view Line, std::string_view LowerName, std::string_view& Value);
  // A Transfer-Encoding value whose last coding is "chunked": the body is framed by chunks,
  // and a Content-Length beside it says nothing.
  static bool EndsWithChunked(std::string_view Value);
  // A Content-Length value: its number, or -1 when it is not usable, or -2 when it lists
  // values that differ.
  static std::int64_t LengthValue(std::string_view Value);

 private:
  // The fields the component reads; the others are only stored.
  enum TField : std::uint8_t {
    fNone,
    fCookie,
    fLocation,
    fLength,
    fCoding,
    fContentCoding,
    fConnection,
    fKeepAlive,
    fProxyConnection
  };
  // A field line is held until the next line shows whether a folded line continues it.
  void HoldField(std::string_view Line);
  void TakeHeldField();
  void Forget();

  TField FHeld = fNone;
  bool FHttp2 = false;
  std::string FHeldValue;
  bool FNotHttp = false;

  std::size_t FSize = 0;
  int FStatusLines = 0;
  bool FAwaitingStatus = true;
  std::int16_t FStatus = 0;
  int FVersion = 0;
  std::string FConnection;
  std::string FKeepAlive;
  std::string FProxyConnection;
  bool FHasLocation = false;
  std::string FLocation;
  std::string FCookieIn;
  bool FHasLength = false;
  bool FConflict = false;
  std::int64_t FLength = 0;
  bool FChunked = false;
  std::string FContentEncoding;
};
