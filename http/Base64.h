// Base64 (RFC 4648, with '=' padding) of a short text in one line, as an Authorization line
// carries credentials.
#pragma once

#include <string>
#include <string_view>

std::string Base64(std::string_view Data);
