// The URL rules: the user's URL and a Location split into parts, references resolved by
// RFC 3986 (its own examples included), the request target's encoding, Host and the
// absolute form a proxy gets.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/Exception.h"
#include "http/CredentialScope.h"
#include "http/HttpErrors.h"
#include "http/THttpUrl.h"

namespace {

template <class F>
std::string ErrorOf(F&& Call) {
  try {
    Call();
  } catch (const std::exception& E) {
    return E.what();
  }
  return "";
}

// --- A URL the user gives ------------------------------------------------------------------

struct UserCase {
  std::string Text;
  std::string Scheme, Host, PortText, Target, User, Password;
  std::string Error = "";
};

const UserCase UserCases[] = {
    {"http://h.test:8080/a/b.html", "http", "h.test", "8080", "/a/b.html", "", ""},
    {"HTTP://H.test", "HTTP", "H.test", "", "/", "", ""},
    {"Gopher://g.test/x", "Gopher", "g.test", "", "/x", "", ""},
    {"fTp://f.test:2121/x", "fTp", "f.test", "2121", "/x", "", ""},
    // The authority only at the start: "//" and URLs later on are path or query.
    {"127.0.0.1:8080/echo/a//b", "", "127.0.0.1", "8080", "/echo/a//b", "", ""},
    {"http://h.test/x/127.0.0.2//y", "http", "h.test", "", "/x/127.0.0.2//y", "", ""},
    {"http://h.test/login?next=http://127.0.0.1:8080/after", "http", "h.test", "",
     "/login?next=http://127.0.0.1:8080/after", "", ""},
    {"localhost:8080/x", "", "localhost", "8080", "/x", "", ""},
    {"host/path:1", "", "host", "", "/path:1", "", ""},
    {"host", "", "host", "", "/", "", ""},
    {"/path//x", "", "", "", "/path//x", "", ""},
    {"//h.test/x", "", "h.test", "", "/x", "", ""},
    {"host?q=1", "", "host", "", "/?q=1", "", ""},
    // Fragments never go out.
    {"http://h.test/page#section", "http", "h.test", "", "/page", "", ""},
    {"http://h.test/p?q=1#f?g", "http", "h.test", "", "/p?q=1", "", ""},
    {"http://h.test#f", "http", "h.test", "", "/", "", ""},
    // A well-formed target.
    {"http://h.test/a b", "http", "h.test", "", "/a%20b", "", ""},
    {"/x?a=\"<>\\^`{|}\x7F\x01\xE9", "", "", "", "/x?a=%22%3C%3E%5C%5E%60%7B%7C%7D%7F%01%E9", "",
     ""},
    {"/%41%4g%%2f%", "", "", "", "/%41%254g%25%2f%25", "", ""},
    // Credentials, never part of the host.
    {"user:pa%3Ass@h.test:81/x", "", "h.test", "81", "/x", "user", "pa:ss"},
    {"http://u%40x@h.test/", "http", "h.test", "", "/", "u@x", ""},
    {"http://a@b@h.test/", "http", "h.test", "", "/", "a@b", ""},
    // IP literals: the address bare, in its canonical text.
    {"http://[::1]:8080/", "http", "::1", "8080", "/", "", ""},
    {"u@[2001:DB8:0:0::1]/x", "", "2001:db8::1", "", "/x", "u", ""},
    {"[::ffff:1.2.3.4]", "", "::ffff:1.2.3.4", "", "/", "", ""},
    {"http://[::1]:/", "http", "::1", "", "/", "", ""},
    // Refused.
    {"http://[::1/", "", "", "", "", "", "", "Invalid IPv6 address in URL: [::1"},
    {"http://[1::2::3]/", "", "", "", "", "", "", "Invalid IPv6 address in URL: [1::2::3]"},
    {"http://[::1]x/", "", "", "", "", "", "", "Invalid IPv6 address in URL: [::1]x"},
    {"[g::]/", "", "", "", "", "", "", "Invalid IPv6 address in URL: [g::]"},
    {"http://[1.2.3.4]/", "", "", "", "", "", "", "Invalid IPv6 address in URL: [1.2.3.4]"},
    {"http://[]/", "", "", "", "", "", "", "Invalid IPv6 address in URL: []"},
    {"http://[v1.x]/", "", "", "", "", "", "", "IPvFuture addresses are not supported: [v1.x]"},
    {"http://[fe80::1%25eth0]:8/", "", "", "", "", "", "",
     "IPv6 zone identifiers are not supported: [fe80::1%25eth0]"},
    {"http://[::1]:99999/", "", "", "", "", "", "", "Invalid port in URL: 99999"},
    {"http://h.test:70000/", "", "", "", "", "", "", "Invalid port in URL: 70000"},
    {"http://h.test:0/", "", "", "", "", "", "", "Invalid port in URL: 0"},
    {"http://h.test:8x/", "", "", "", "", "", "", "'8x' is not a valid integer value"},
};

class UserUrl : public ::testing::TestWithParam<UserCase> {};

TEST_P(UserUrl, SplitsIntoItsParts) {
  const UserCase& C = GetParam();
  const std::string Error = ErrorOf([&] {
    const THttpUrl U = THttpUrl::SplitUser(C.Text);
    U.PortNumber();
    EXPECT_EQ(U.Scheme, C.Scheme);
    EXPECT_EQ(U.Host, C.Host);
    EXPECT_EQ(U.PortText, C.PortText);
    EXPECT_EQ(U.RequestTarget(), C.Target);
    EXPECT_EQ(U.User(), C.User);
    EXPECT_EQ(U.Password(), C.Password);
  });
  EXPECT_EQ(Error, C.Error);
}

INSTANTIATE_TEST_SUITE_P(Texts, UserUrl, ::testing::ValuesIn(UserCases));

// --- Resolution --------------------------------------------------------------------------

struct ResolveCase {
  std::string Base, Reference, Result;
};

const std::string R = "http://a/b/c/d;p?q";
const std::string Page = "http://127.0.0.1:8080/dir/page";

// RFC 3986, 5.4.1 and 5.4.2, the fragment left out of every result; "g:h" names a scheme
// this component does not speak, and "http:g" takes the reading for older parsers.
const ResolveCase ResolveCases[] = {
    {R, "g:h", "Unsupported scheme in URL: g"},
    {R, "g", "http://a/b/c/g"},
    {R, "./g", "http://a/b/c/g"},
    {R, "g/", "http://a/b/c/g/"},
    {R, "/g", "http://a/g"},
    {R, "//g", "http://g"},
    {R, "?y", "http://a/b/c/d;p?y"},
    {R, "g?y", "http://a/b/c/g?y"},
    {R, "#s", "http://a/b/c/d;p?q"},
    {R, "g#s", "http://a/b/c/g"},
    {R, "g?y#s", "http://a/b/c/g?y"},
    {R, ";x", "http://a/b/c/;x"},
    {R, "g;x", "http://a/b/c/g;x"},
    {R, "g;x?y#s", "http://a/b/c/g;x?y"},
    {R, "", "http://a/b/c/d;p?q"},
    {R, ".", "http://a/b/c/"},
    {R, "./", "http://a/b/c/"},
    {R, "..", "http://a/b/"},
    {R, "../", "http://a/b/"},
    {R, "../g", "http://a/b/g"},
    {R, "../..", "http://a/"},
    {R, "../../", "http://a/"},
    {R, "../../g", "http://a/g"},
    {R, "../../../g", "http://a/g"},
    {R, "../../../../g", "http://a/g"},
    {R, "/./g", "http://a/g"},
    {R, "/../g", "http://a/g"},
    {R, "g.", "http://a/b/c/g."},
    {R, ".g", "http://a/b/c/.g"},
    {R, "g..", "http://a/b/c/g.."},
    {R, "..g", "http://a/b/c/..g"},
    {R, "./../g", "http://a/b/g"},
    {R, "./g/.", "http://a/b/c/g/"},
    {R, "g/./h", "http://a/b/c/g/h"},
    {R, "g/../h", "http://a/b/c/h"},
    {R, "g;x=1/./y", "http://a/b/c/g;x=1/y"},
    {R, "g;x=1/../y", "http://a/b/c/y"},
    {R, "g?y/./x", "http://a/b/c/g?y/./x"},
    {R, "g?y/../x", "http://a/b/c/g?y/../x"},
    {R, "g#s/./x", "http://a/b/c/g"},
    {R, "g#s/../x", "http://a/b/c/g"},
    {R, "http:g", "http://a/b/c/g"},
    // What servers send.
    {Page, "/x/127.0.0.2//y", "http://127.0.0.1:8080/x/127.0.0.2//y"},
    {Page, "/login?next=http://127.0.0.1:8080/after",
     "http://127.0.0.1:8080/login?next=http://127.0.0.1:8080/after"},
    {Page, "next.html", "http://127.0.0.1:8080/dir/next.html"},
    {Page, "?q=1", "http://127.0.0.1:8080/dir/page?q=1"},
    {Page, "../a", "http://127.0.0.1:8080/a"},
    {Page, "//other.test:81/p", "http://other.test:81/p"},
    {Page, "#f", "http://127.0.0.1:8080/dir/page"},
    {Page, "HTTPS://s.test/", "https://s.test/"},
    {Page, "FTP://f.test/x", "ftp://f.test/x"},
    {Page, "gopher://g.test", "gopher://g.test"},
    {Page, "localhost:8080/x", "Unsupported scheme in URL: localhost"},
    {Page, "127.0.0.1:8080/x", "http://127.0.0.1:8080/dir/127.0.0.1:8080/x"},
    {Page, "javascript:alert(1)", "Unsupported scheme in URL: javascript"},
    {Page, "JavaScript:alert(1)", "Unsupported scheme in URL: javascript"},
    {Page, "mailto:me@h.test", "Unsupported scheme in URL: mailto"},
    {Page, "ftp:x", "No server in URL: ftp:x"},
    {Page, "http:///x", "No server in URL: http:///x"},
    {Page, "//:81/x", "No server in URL: http://:81/x"},
    {Page, "//[0:0::1]/x", "http://[::1]/x"},
    {Page, "https://[::1]:8443/x", "https://[::1]:8443/x"},
    {"http://[::1]:8/d/p", "q", "http://[::1]:8/d/q"},
    {Page, "//[::1/x", "Invalid IPv6 address in URL: [::1"},
    {"http://h.test", "a", "http://h.test/a"},
};

class Resolution : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(Resolution, FollowsRfc3986) {
  const ResolveCase& C = GetParam();
  std::string Result;
  const std::string Error = ErrorOf([&] { Result = THttpUrl::Resolve(C.Base, C.Reference); });
  EXPECT_EQ(Error.empty() ? Result : Error, C.Result);
}

INSTANTIATE_TEST_SUITE_P(References, Resolution, ::testing::ValuesIn(ResolveCases));

// The errors come as the classes a caller tells apart.
TEST(UrlErrors, HaveTheirOwnClasses) {
  EXPECT_THROW(THttpUrl::Resolve(Page, "javascript:x"), EHttpSchemeError);
  EXPECT_THROW(THttpUrl::SchemePort("HTTPS"), EHttpSchemeError);
  EXPECT_THROW(THttpUrl::SplitUser("http://[fe80::1%25e]/"), EHttpUrlError);
  EXPECT_THROW(THttpUrl::SplitUser("h:99999").PortNumber(), EHttpUrlError);
  EXPECT_THROW(THttpUrl::CheckHost("a b"), EHttpUrlError);
}

// --- The server an absolute URL names, as a recording or a replay's base gives it ----------

TEST(ServerUrl, NamesItsServer) {
  // clang-format off
  const struct { std::string Text, Scheme, Host; int Port; std::string HostPort, Target; } Cases[] = {
      {"HTTPS://u:p@H.test/x?q=1#f", "https", "H.test", 443, "H.test", "/x?q=1"},
      {"http://h.test:8080?q", "http", "h.test", 8080, "h.test:8080", "/?q"},
      {"http://h.test:/", "http", "h.test", 80, "h.test:", "/"},
      {"http://[::1]:9/p", "http", "::1", 9, "[::1]:9", "/p"},
      {"https://[fe80::1%25e]", "", "", 0, "[fe80::1%25e]", "/"},
      // No web server: what is not there, and a literal or port that does not read.
      {"ftp://f.test/", "", "", 0, "f.test", "/"}, {"http:/x", "", "", 0, "", "/x"},
      {"h.test/x", "", "", 0, "", "/h.test/x"}, {"http:///x", "", "", 0, "", "/x"},
      {"http://u@:81/", "", "", 0, ":81", "/"}, {"http://h.test:0/", "", "", 0, "h.test:0", "/"},
      {"http://h.test:8x/", "", "", 0, "h.test:8x", "/"}, {"http://[::1", "", "", 0, "[::1", "/"},
      {"http://[]:80/", "", "", 0, "[]:80", "/"}, {"http://[::1]x:80/", "", "", 0, "[::1]x:80", "/"},
  };
  // clang-format on
  for (const auto& C : Cases) {
    const THttpUrl U = THttpUrl::SplitServer(C.Text);
    EXPECT_EQ(U.HostPort(), C.HostPort) << C.Text;
    EXPECT_EQ(U.Target(), C.Target) << C.Text;
    const std::optional<TPassServer> S = CredentialScope::ServerOf(C.Text);
    EXPECT_EQ(S ? S->Scheme + " " + S->Host + " " + std::to_string(S->Port) : "",
              C.Scheme.empty() ? "" : C.Scheme + " " + C.Host + " " + std::to_string(C.Port))
        << C.Text;
  }
  // The same scheme, host in any case, and port, said or not; a URL that names no web
  // server is nobody's.
  EXPECT_TRUE(CredentialScope::SameServer("https://API.test:443/a", "https://api.test/b#c"));
  EXPECT_TRUE(CredentialScope::SameServer("http://[::1]/", "http://[::1]:80/"));
  for (const std::string Other :
       {"http://api.test/", "https://api.test:8443/", "https://b.test/", ""})
    EXPECT_FALSE(CredentialScope::SameServer("https://api.test/", Other)) << Other;
  EXPECT_FALSE(CredentialScope::SameServer("", ""));
}

// --- International names and the bytes an authority refuses ---------------------------------

struct NameCase {
  char Split;  // 'U'ser, 'R'eference or 'S'erver
  std::string Text;
  std::string HostOrError, UnicodeHost = "", Written = "";
};

const NameCase NameCases[] = {
    {'U', "http://b\u00fccher.test/x", "xn--bcher-kva.test", "b\u00fccher.test",
     "http://xn--bcher-kva.test/x"},
    {'R', "https://u:p@b%C3%BCcher.test:8443/", "xn--bcher-kva.test", "b\u00fccher.test",
     "https://u:p@xn--bcher-kva.test:8443/"},
    {'S', "http://B\u00dccher.Test./", "xn--bcher-kva.test.", "B\u00dccher.Test.",
     "http://xn--bcher-kva.test./"},
    // A Cyrillic "а" among Latin letters converts: the typed form stays for showing both.
    {'U', "p\u0430ypal.com", "xn--pypal-4ve.com", "p\u0430ypal.com", "//xn--pypal-4ve.com"},
    {'U', "http://fa\u00df.test/", "xn--fa-hia.test", "fa\u00df.test"},
    // A joiner out of its context leaves the non-transitional rules; the transitional ones
    // drop it, as curl does.
    {'U', "http://b\u00fccher\u200d.test/", "xn--bcher-kva.test", "b\u00fccher\u200d.test"},
    // ASCII stays byte for byte; a percent-encoded ASCII name is read.
    {'U', "http://NAME.test./", "NAME.test.", "NAME.test.", "http://NAME.test./"},
    {'R', "http://h%2Etest/", "h.test", "h.test", "http://h.test/"},
    {'S', "http://[0:0::1]:8/", "::1", "::1", "http://[::1]:8/"},
    {'U', "http://u@[::FFFF:7F00:1]:8/", "::ffff:127.0.0.1", "::ffff:127.0.0.1",
     "http://u@[::ffff:127.0.0.1]:8/"},
    // Refused before anything is sent.
    {'U', "http://\u0301a.test/",
     "Failed to convert \u0301a.test to ACE; string contains a forbidden leading combining "
     "character"},
    {'U', "http://\u00fc" + std::string(63, 'a') + ".test/",
     "Failed to convert \u00fc" + std::string(63, 'a') +
         ".test to ACE; punycode encoded data will be too large"},
    {'R', "http://b%FFcher.test/",
     "Failed to convert b\\xff"
     "cher.test to ACE; string encoding error"},
    {'U', "http://a\u202E.test/",
     "Failed to convert a<U+202E>.test to ACE; string contains a disallowed character"},
    {'U', "http://evil.test\uFF0F.ok.test/",
     "Invalid host in URL: http://evil.test\uFF0F.ok.test/"},
    {'R', "http://a%2Fb.test/", "Invalid host in URL: http://a%2Fb.test/"},
    {'U', "http://evil.test\\@127.0.0.1:8/",
     "Invalid character in URL: http://evil.test\\@127.0.0.1:8/"},
    {'U', "evil.test\\@127.0.0.1/", "Invalid character in URL: evil.test\\@127.0.0.1/"},
    {'R', "//evil.test\\@127.0.0.1/", "Invalid character in URL: //evil.test\\@127.0.0.1/"},
    {'S', "http://evil.test\\@[::1]/", "Invalid character in URL: http://evil.test\\@[::1]/"},
    {'S', "http://a\tb\u202E/", "Invalid character in URL: http://a\\x09b<U+202E>/"},
    {'R', "http://u s@h.test/", "Invalid character in URL: http://u s@h.test/"},
};

class HostNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(HostNames, AreLookedUpByTheirALabel) {
  const NameCase& C = GetParam();
  const auto Split = C.Split == 'U'   ? THttpUrl::SplitUser
                     : C.Split == 'R' ? THttpUrl::SplitReference
                                      : THttpUrl::SplitServer;
  THttpUrl U;
  if (const std::string Error = ErrorOf([&] { U = Split(C.Text); }); !Error.empty()) {
    EXPECT_EQ(Error, C.HostOrError);
    EXPECT_THROW(Split(C.Text), EHttpUrlError);
    return;
  }
  EXPECT_EQ(U.Host, C.HostOrError);
  EXPECT_EQ(U.UnicodeHost, C.UnicodeHost);
  if (!C.Written.empty()) {
    EXPECT_EQ(U.Text(), C.Written);
  }
}

INSTANTIATE_TEST_SUITE_P(Names, HostNames, ::testing::ValuesIn(NameCases));

// A Location goes where the Host line says, and a refused one is refused whole.
TEST(HostNames, InResolution) {
  EXPECT_EQ(THttpUrl::Resolve(Page, "//b\u00fccher.test/a"), "http://xn--bcher-kva.test/a");
  EXPECT_EQ(THttpUrl::Resolve("http://b\u00fccher.test/d/p", "q"), "http://xn--bcher-kva.test/d/q");
  EXPECT_EQ(ErrorOf([] { THttpUrl::Resolve(Page, "http://evil.test\\@127.0.0.1/"); }),
            "Invalid character in URL: http://evil.test\\@127.0.0.1/");
}

// Credentials follow the server, whatever the spelling of its name or address.
TEST(HostNames, ScopeComparesCanonicalForms) {
  const struct {
    std::string A, B;
    bool Same;
  } Cases[] = {
      {"https://name.test./", "https://NAME.test/", true},
      {"https://b\u00fccher.test/", "https://XN--BCHER-KVA.test.:443/", true},
      {"http://[::1]/", "http://[0:0::1]:80/", true},
      {"http://[0:0:0:0:0:0:0:1]/", "http://[::1]/", true},
      {"http://[::ffff:127.0.0.1]/", "http://127.0.0.1/", false},
      {"https://name.test../", "https://name.test/", false},
      {"https://bucher.test/", "https://b\u00fccher.test/", false},
      {"https://evil.test\\@api.test/", "https://api.test/", false},
  };
  for (const auto& C : Cases) EXPECT_EQ(CredentialScope::SameServer(C.A, C.B), C.Same) << C.A;
  EXPECT_TRUE(
      CredentialScope::ServerCookieGoes({"http", "Name.Test.", 80}, {"http", "name.test", 8}));
  EXPECT_FALSE(CredentialScope::ServerOf("http://evil.test\\@api.test/"));
}

// --- Host line, ports and the proxy's absolute form -----------------------------------------

TEST(UrlParts, HostPortsAndAbsoluteForm) {
  const struct {
    std::string Scheme, Host;
    int Port;
    std::string HostValue, Absolute;
  } Cases[] = {
      {"", "h.test", 80, "h.test", "http://h.test/t"},
      {"http", "h.test", 8080, "h.test:8080", "http://h.test:8080/t"},
      {"HTTP", "H.test", 80, "H.test", "HTTP://H.test/t"},
      {"gopher", "g.test", 70, "g.test:70", "gopher://g.test/t"},
      {"ftp", "f.test", 80, "f.test", "ftp://f.test:80/t"},
      {"", "h.test", 65535, "h.test:65535", "http://h.test:65535/t"},
      {"", "::1", 80, "[::1]", "http://[::1]/t"},
      {"https", "2001:db8::1", 8443, "[2001:db8::1]:8443", "https://[2001:db8::1]:8443/t"},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(THttpUrl::HostValue(C.Host, C.Port), C.HostValue);
    EXPECT_EQ(THttpUrl::AbsoluteForm(C.Scheme, C.Host, C.Port, "/t"), C.Absolute);
  }
  const struct {
    std::string Scheme;
    int Port;
  } Ports[] = {{"", 80}, {"http", 80}, {"Http", 80}, {"gopher", 70}, {"FTP", 21}};
  for (const auto& P : Ports) EXPECT_EQ(THttpUrl::SchemePort(P.Scheme), P.Port) << P.Scheme;
  for (const std::string Bad : {"a b", "a/b", "a?b", "a#b", "a@b", "a:1", "[::1]", "a\tb", "a\x7F"})
    EXPECT_EQ(ErrorOf([&] { THttpUrl::CheckHost(Bad); }), "Invalid host in URL: " + Bad);
  for (const std::string Good : {"", "h.test", "my_host-1.example", "xn--bcher-kva.example", "::1"})
    EXPECT_EQ(ErrorOf([&] { THttpUrl::CheckHost(Good); }), "");
}

}  // namespace
