// The request header values every request of an HTTP component carries: the sender's mail
// address, the program name, a cookie, the referring page and the Basic credentials.
#pragma once

#include <string>

#include "base/TObject.h"

// Owned by its HTTP component, which reads the fields while composing a request (and writes
// Cookie when a redirection hands back the cookie the server set). Empty fields send nothing.
class THeaderInfo : public TObject {
 public:
  std::string LocalMailAddress;  // sent as "From"
  std::string LocalProgram;      // sent as "User-Agent"
  std::string Cookie;            // sent as "Cookie"
  std::string Referer;           // sent as "Referer"
  std::string UserId;            // Basic credentials, sent only when both are set
  std::string Password;
};
