// The header lines TVelHTTP writes the same way into every request, for whoever shows or
// repeats a request as the component sends it.
#pragma once

#include <string_view>

// Through a proxy, between the request line and the Host line.
inline constexpr std::string_view ProxyConnectionLine = "Proxy-Connection: Keep-Alive";
// The two Accept lines, in this order, after the Host line.
inline constexpr std::string_view FirstAcceptLine =
    "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff";
inline constexpr std::string_view SecondAcceptLine =
    "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript";
// Every request announces a form body, whatever its command.
inline constexpr std::string_view ContentTypeLine =
    "Content-type: application/x-www-form-urlencoded";
