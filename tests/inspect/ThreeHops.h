// The scripted three-hop exchange whose HAR is stored as tests/inspect/data/three-hops.har:
// a 302 to a path with a cookie, a 301 to a relative name with a query, then a 200 with a
// UTF-8 text. The command line's and the window's tests replay it against the same
// reference; start it with a GET of ThreeHopsStart on the server's 127.0.0.1 port.
#pragma once

#include <string>
#include <vector>

#include "tests/http/ScriptedHttpServer.h"

inline constexpr const char* ThreeHopsStart = "/start";

inline std::string ThreeHopsReply(const std::string& StatusLine, const std::string& Fields,
                                  const std::string& Body) {
  return StatusLine + "\r\n" + Fields + "Content-Length: " + std::to_string(Body.size()) +
         "\r\n\r\n" + Body;
}

inline std::vector<testsupport::ReplyScript> ThreeHopsReplies() {
  return {
      testsupport::Whole(ThreeHopsReply("HTTP/1.0 302 Found",
                                        "Location: /second\r\nSet-Cookie: session=abc123\r\n"
                                        "Content-Type: text/html\r\n",
                                        "<a href=\"/second\">elsewhere</a>\n")),
      testsupport::Whole(ThreeHopsReply("HTTP/1.0 301 Moved Permanently",
                                        "Location: third?lang=fr&q=caf%C3%A9\r\n", "")),
      testsupport::Whole(ThreeHopsReply("HTTP/1.0 200 OK",
                                        "Content-Type: text/plain; charset=utf-8\r\n"
                                        "Server: scripted\r\n",
                                        "Bonjour, caf\xC3\xA9 !\n")),
  };
}
