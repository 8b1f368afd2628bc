// The TLS lines of the -v trace, in curl's words.
#include "cli/CliTlsTrace.h"

#include <arpa/inet.h>

#include <algorithm>
#include <ctime>

#include "base/AsciiText.h"
#include "platform/InetText.h"
#include "tls/CertificateTime.h"
#include "tls/TTlsReason.h"

namespace {

bool IsHex(char C) {
  return (C >= '0' && C <= '9') || (AsciiLower(C) >= 'a' && AsciiLower(C) <= 'f');
}

int HexValue(char C) { return C <= '9' ? C - '0' : AsciiLower(C) - 'a' + 10; }

// A fully qualified name's final dot is no part of the name compared.
std::string_view WithoutFinalDot(std::string_view Name) {
  return Name.ends_with('.') ? Name.substr(0, Name.size() - 1) : Name;
}

// One dNSName against the name asked: equal in any case, or a wildcard "*." that stands for
// the whole first label of a name with at least as many labels again (no partial wildcard),
// one final dot on either side left out.
bool DnsMatches(std::string_view Pattern, std::string_view Name) {
  Pattern = WithoutFinalDot(Pattern);
  Name = WithoutFinalDot(Name);
  if (SameNoCase(Pattern, Name)) return true;
  if (Pattern.size() < 3 || Pattern.substr(0, 2) != "*.") return false;
  const auto Dot = Name.find('.');
  return Dot != std::string_view::npos && Dot > 0 &&
         SameNoCase(Pattern.substr(1), Name.substr(Dot)) &&
         Pattern.substr(2).find('.') != std::string_view::npos;
}

}  // namespace

std::string CurlDistinguishedName(std::string_view Rfc2253) {
  std::vector<std::string> Parts(1);
  for (std::size_t At = 0; At < Rfc2253.size(); ++At) {
    const char C = Rfc2253[At];
    if (C == ',') {
      Parts.emplace_back();
    } else if (C == '\\' && At + 2 < Rfc2253.size() && IsHex(Rfc2253[At + 1]) &&
               IsHex(Rfc2253[At + 2])) {
      Parts.back() += static_cast<char>(HexValue(Rfc2253[At + 1]) * 16 + HexValue(Rfc2253[At + 2]));
      At += 2;
    } else if (C == '\\' && At + 1 < Rfc2253.size()) {
      Parts.back() += Rfc2253[++At];
    } else {
      Parts.back() += C;
    }
  }
  std::string Out;
  for (auto It = Parts.rbegin(); It != Parts.rend(); ++It) Out += (Out.empty() ? "" : "; ") + *It;
  return Out;
}

std::string CurlCertificateDate(std::int64_t Seconds) { return CertificateTime::CurlText(Seconds); }

std::string SubjectAltNameLine(const TTlsCertificate& Leaf, std::string_view NameAsked) {
  const std::string Name(NameAsked);
  in6_addr Ip{};
  if (::inet_pton(AF_INET, Name.c_str(), &Ip) == 1 || ::inet_pton(AF_INET6, Name.c_str(), &Ip) == 1) {
    const bool Found = std::any_of(Leaf.IpAddresses.begin(), Leaf.IpAddresses.end(),
                                   [&](const std::string& A) { return win::SameAddress(A, Name); });
    return Found ? " subjectAltName: host \"" + Name + "\" matched cert's IP address!"
                 : " subjectAltName does not match " + Name;
  }
  for (const std::string& Dns : Leaf.DnsNames)
    if (DnsMatches(Dns, Name))
      return " subjectAltName: host \"" + Name + "\" matched cert's \"" + Dns + "\"";
  return " subjectAltName does not match " + Name;
}

std::vector<std::string> TlsTraceLines(const TTlsFacts& Facts, std::string_view NameAsked,
                                       std::int64_t Now) {
  std::vector<std::string> Lines;
  if (!Facts.Outcome.HandshakeDone) return Lines;
  if (Facts.Resumed) Lines.push_back("SSL re-using session ID");
  Lines.push_back("SSL connection using " + Facts.Version + " / " + Facts.Cipher);
  Lines.push_back(Facts.Alpn.empty() ? "ALPN: server did not agree on a protocol. Uses default."
                                     : "ALPN: server accepted " + Facts.Alpn);
  if (!Facts.Chain.empty()) {
    const TTlsCertificate& Leaf = Facts.Chain.front();
    Lines.push_back("Server certificate:");
    Lines.push_back(" subject: " + CurlDistinguishedName(Leaf.Subject));
    Lines.push_back(" start date: " + CurlCertificateDate(Leaf.NotBefore));
    Lines.push_back(" expire date: " + CurlCertificateDate(Leaf.NotAfter));
    Lines.push_back(SubjectAltNameLine(Leaf, NameAsked));
    Lines.push_back(" issuer: " + CurlDistinguishedName(Leaf.Issuer));
  }
  const long Result = Facts.Outcome.VerifyResult;
  if (Result == 0) {
    Lines.push_back(" SSL certificate verify ok.");
  } else if (Facts.VerifyWaived) {
    // The session explains no check the caller waived; what it would have said is shown.
    TTlsOutcome AsChecked = Facts.Outcome;
    AsChecked.Checked = true;
    Lines.push_back(" SSL certificate verify result: " +
                    ReasonInEnglish(ExplainTls(AsChecked, Facts.Chain, NameAsked, Now)) + " (" +
                    std::to_string(Result) + "), continuing anyway.");
  } else if (Facts.Reason.Problem != TTlsProblem::tpNone) {
    Lines.push_back(" " + ReasonInEnglish(Facts.Reason));
  }
  return Lines;
}
