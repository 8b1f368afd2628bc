// Http2Request: a request's header block as HTTP/1.x composes it, made into what HTTP/2 sends
// of it (RFC 9113, 8.3.1 and 8.2.2): the pseudo-header fields from the request line and the
// Host field, the other fields with lower-case names, and none of the fields that only speak
// of an HTTP/1.x connection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Http2Request {

struct TField {
  std::string Name;
  std::string Value;
};

// The block as an HTTP/2 pass shows it, in the form curl shows one: the request line's version
// "HTTP/2", every field as composed but those HTTP/2 has no place for (Connection, Keep-Alive,
// Proxy-Connection, Transfer-Encoding, Upgrade, a TE other than "trailers", and any field the
// Connection field names), then the empty line.
std::string ShownBlock(std::string_view Block);
// What a block (shown or composed) sends over HTTP/2 for Scheme: :method, :path (the request
// target), :scheme and :authority (the Host field's value) first, then the fields
// ShownBlock keeps, but Host, with their names in lower case. A block without a request line
// (a wrapped request) gives no list.
std::vector<TField> HeaderList(std::string_view Block, std::string_view Scheme);
// A field HTTP/2 has no place for (RFC 9113, 8.2.2), by its name in any case; TE only with a
// value other than "trailers".
bool ConnectionSpecific(std::string_view Name, std::string_view Value);
// The body length a block's Content-Length field announces; 0 without one.
long long ContentLength(std::string_view Block);

}  // namespace Http2Request
