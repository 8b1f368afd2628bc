// -w FORMAT, rendered from the values of a run.
#include "cli/CliWriteOut.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::string Seconds(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.6f", Value > 0 ? Value : 0.0);
  return Text;
}

std::string Count(std::int64_t Value) { return std::to_string(Value); }

std::string StatusCode(int Code) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "%03d", Code);
  return Text;
}

using TRender = std::string (*)(const TWriteOutValues&);
struct TVariable {
  std::string_view Name;
  TRender Render;
};

using V = TWriteOutValues;
const TVariable Variables[] = {
    {"http_code", [](const V& W) { return StatusCode(W.HttpCode); }},
    {"response_code", [](const V& W) { return StatusCode(W.HttpCode); }},
    {"url_effective", [](const V& W) { return W.UrlEffective; }},
    {"num_redirects", [](const V& W) { return Count(W.NumRedirects); }},
    {"method", [](const V& W) { return W.Method; }},
    {"exitcode", [](const V& W) { return Count(W.ExitCode); }},
    {"errormsg", [](const V& W) { return W.ErrorMsg; }},
    {"content_type", [](const V& W) { return W.ContentType; }},
    {"remote_ip", [](const V& W) { return W.RemoteIp; }},
    {"remote_port",
     [](const V& W) { return W.RemotePort > 0 ? Count(W.RemotePort) : std::string(); }},
    {"size_download", [](const V& W) { return Count(W.SizeDownload); }},
    {"size_header", [](const V& W) { return Count(W.SizeHeader); }},
    {"size_request", [](const V& W) { return Count(W.SizeRequest); }},
    {"size_upload", [](const V& W) { return Count(W.SizeUpload); }},
    // curl writes the speed as whole bytes per second.
    {"speed_download",
     [](const V& W) {
       return Count(W.SpeedDownload > 0 ? static_cast<std::int64_t>(W.SpeedDownload) : 0);
     }},
    {"time_namelookup", [](const V& W) { return Seconds(W.TimeNamelookup); }},
    {"time_connect", [](const V& W) { return Seconds(W.TimeConnect); }},
    {"time_pretransfer", [](const V& W) { return Seconds(W.TimePretransfer); }},
    {"time_starttransfer", [](const V& W) { return Seconds(W.TimeStarttransfer); }},
    {"time_redirect", [](const V& W) { return Seconds(W.TimeRedirect); }},
    {"time_total", [](const V& W) { return Seconds(W.TimeTotal); }},
};

}  // namespace

std::string RenderWriteOut(std::string_view Format, const TWriteOutValues& Values,
                           std::vector<std::string>* Unknown) {
  std::string Out;
  for (std::size_t At = 0; At < Format.size(); ++At) {
    const char C = Format[At];
    const char Next = At + 1 < Format.size() ? Format[At + 1] : '\0';
    if (C == '\\' && (Next == 'n' || Next == 'r' || Next == 't')) {
      Out += Next == 'n' ? '\n' : Next == 'r' ? '\r' : '\t';
      ++At;
    } else if (C == '%' && Next == '%') {
      Out += '%';
      ++At;
    } else if (C == '%' && Next == '{' && Format.find('}', At + 2) != std::string_view::npos) {
      const auto Close = Format.find('}', At + 2);
      const std::string_view Name = Format.substr(At + 2, Close - At - 2);
      bool Known = false;
      for (const TVariable& Var : Variables)
        if (Var.Name == Name) {
          Out += Var.Render(Values);
          Known = true;
        }
      if (!Known && Unknown) Unknown->emplace_back(Name);
      At = Close;
    } else {
      Out += C;
    }
  }
  return Out;
}
