// The proxy's tunnel: its request, its reply head, and a refusal taken as the pass's reply.
#include "http/ProxyTunnel.h"

#include <string_view>
#include <utility>

#include "base/SysUtils.h"
#include "base/TFileStream.h"
#include "http/HostName.h"
#include "http/HttpErrors.h"

namespace {

// A head that frames no body, with the status of the one it stands for.
TReplyHead Bodiless(int Status) {
  TReplyHead Head;
  Head.Take("HTTP/1.0 " + std::to_string(Status) + " \r\n");
  Head.Take("Content-Length: 0\r\n");
  Head.Take("\r\n");
  return Head;
}

}  // namespace

namespace ProxyTunnel {

std::string Request(const std::string& Host, int Port) {
  const std::string Authority = HostName::InAuthority(Host) + ":" + IntToStr(Port);
  return "CONNECT " + Authority + " HTTP/1.0\r\nHost: " + Authority + "\r\n\r\n";
}

TReplyHead ReadHead(const THeadWire& Wire, const TReplyFields& To, std::string& Text) {
  const THeadClock Clock;
  TReplyHead Head;
  std::string Line;
  for (bool Done = false; !Done;) {
    if (Head.HasStatusLine()) Clock.Check(To.TimeOut, To.TimedOut);
    Wire.HeadLine(Line);
    Done = Head.Take(Line);
    Text += Line;
  }
  return Head;
}

// Any reply but a 2xx refuses the tunnel, whatever else is wrong with it: the rules that end a
// server's reply as weird (a 101, two lengths that differ) do not apply, so that a refusal is
// told as one. A head whose length cannot be trusted frames no body here (RFC 9112, 6.3: such a
// reply is discarded): nothing more is read from the proxy, and the pass ends with its status.
void TakeRefusal(TReplyReader& Reader, const THeadWire& Wire, const TReplyFields& To,
                 TReplyHead Head, const std::string& Text) {
  if (To.HeaderToFile) {
    TFileStream File(To.Header, TFileMode::fmCreate);
    File.WriteBuffer(Text.data(), static_cast<std::int64_t>(Text.size()));
  } else {
    To.Header = Text;
  }
  To.ReplyNumber = Head.Status();
  try {
    Head.Check();
    Reader.TakeHead(std::move(Head));
  } catch (const EHttpError&) {
    Reader.TakeHead(Bodiless(Head.Status()));
  }
  To.BytesTotal = Reader.Head().HasLength() ? Reader.Head().Length() : 0;
  if (!Text.empty()) Wire.StatusLineHeard(std::string_view(Text).substr(0, Text.find('\n') + 1));
}

}  // namespace ProxyTunnel
