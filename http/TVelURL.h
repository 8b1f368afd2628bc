// Encoder for form data sent as "application/x-www-form-urlencoded".
#pragma once

#include <string>

#include "base/Events.h"
#include "base/TComponent.h"

// Encodes InputString byte by byte: ASCII letters and digits pass, the space becomes '+',
// every other byte (punctuation included) becomes "%XX" in upper-case hexadecimal. Nothing
// is decoded and no character set is converted. Made for one request and freed after it.
class TVelURL : public TComponent {
 public:
  explicit TVelURL(TComponent* AOwner);

  // The encoded form of InputString, computed afresh on each call. When building it fails
  // for want of memory (or any other Exception), OnError is raised with "Error during
  // encode" and the input comes back unencoded: a request then still goes out.
  std::string Encode();
  // Form data of "name=value&name=value" fields, each name and value encoded as Encode does
  // and the "=" and "&" between them kept: "a b=c&d" gives "a+b=c&d". Text without any
  // "=" is encoded whole, like Encode. InputString is left as it was.
  std::string EncodeFields();

  std::string InputString;
  TOnErrorEvent OnError;
};
