// The socket layer's start-up report.
#include "socket/WinsockReport.h"

#include <cstring>

#include "base/SysUtils.h"

namespace {

std::string TextUpToNul(const char* Text, std::size_t Max) {
  return std::string(Text, strnlen(Text, Max));
}

std::string VersionText(win::WORD Version) {
  return IntToStr(Version >> 8) + "." + IntToStr(Version & 0xFF);
}

}  // namespace

const std::vector<std::string>& StartupReport(const win::WSADATA& Data) {
  thread_local win::WSADATA Last{};
  thread_local std::vector<std::string> Lines;
  const auto Same = [&Data] {
    return Last.wVersion == Data.wVersion && Last.wHighVersion == Data.wHighVersion &&
           std::memcmp(Last.szDescription, Data.szDescription, sizeof Data.szDescription) == 0 &&
           std::memcmp(Last.szSystemStatus, Data.szSystemStatus, sizeof Data.szSystemStatus) == 0 &&
           Last.iMaxSockets == Data.iMaxSockets && Last.iMaxUdpDg == Data.iMaxUdpDg;
  };
  if (!Lines.empty() && Same()) return Lines;
  Lines = {"Version= " + VersionText(Data.wVersion),
           "High Version= " + VersionText(Data.wHighVersion),
           "Description= " + TextUpToNul(Data.szDescription, sizeof Data.szDescription),
           "System= " + TextUpToNul(Data.szSystemStatus, sizeof Data.szSystemStatus),
           "Max Sockets= " + IntToStr(Data.iMaxSockets),
           "Max Udp pack size= " + IntToStr(Data.iMaxUdpDg)};
  Last = Data;
  return Lines;
}
