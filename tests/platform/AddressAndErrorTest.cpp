// inet_addr's grammar, IPv6 and IPv4 literals as text, the errno and getaddrinfo translations, and WSAStartup's record.
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/Errors.h"
#include "platform/InetText.h"
#include "platform/WinSock.h"

namespace platformtest {
namespace {

struct TAddressCase {
  const char* Text;
  std::uint32_t HostOrder;  // INADDR_NONE_ for a rejected text
};

// Without it gtest prints the row's raw bytes, padding included, which memcheck reports.
void PrintTo(const TAddressCase& Row, std::ostream* Out) { *Out << '"' << Row.Text << '"'; }

class InetAddrTest : public ::testing::TestWithParam<TAddressCase> {};

TEST_P(InetAddrTest, Parses) {
  const TAddressCase& c = GetParam();
  std::uint32_t expected =
      c.HostOrder == win::INADDR_NONE_ ? win::INADDR_NONE_ : win::htonl(c.HostOrder);
  EXPECT_EQ(win::inet_addr(c.Text), expected) << '"' << c.Text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, InetAddrTest,
    ::testing::Values(
        TAddressCase{"127.0.0.1", 0x7F000001}, TAddressCase{"192.168.1.20", 0xC0A80114},
        TAddressCase{"0.0.0.0", 0}, TAddressCase{"127.1", 0x7F000001},
        TAddressCase{"10.1.2", 0x0A010002}, TAddressCase{"10.1.65535", 0x0A01FFFF},
        TAddressCase{"1.16777215", 0x01FFFFFF}, TAddressCase{"3232235777", 0xC0A80101},
        TAddressCase{"0x7f.0.0.1", 0x7F000001}, TAddressCase{"0X7F.0.0.0x1", 0x7F000001},
        TAddressCase{"0177.0.0.01", 0x7F000001}, TAddressCase{"0", 0},
        TAddressCase{"0xFFFFFFFE", 0xFFFFFFFE},
        // The all-ones address is indistinguishable from the failure value.
        TAddressCase{"255.255.255.255", win::INADDR_NONE_}, TAddressCase{"", win::INADDR_NONE_},
        TAddressCase{" ", win::INADDR_NONE_}, TAddressCase{" 1.2.3.4", win::INADDR_NONE_},
        TAddressCase{"1.2.3.4 junk", win::INADDR_NONE_},
        TAddressCase{"1.2.3.4 ", win::INADDR_NONE_}, TAddressCase{"1.2.3.4.", win::INADDR_NONE_},
        TAddressCase{"1..3.4", win::INADDR_NONE_}, TAddressCase{".1.2.3", win::INADDR_NONE_},
        TAddressCase{"1.2.3.4.5", win::INADDR_NONE_}, TAddressCase{"256.0.0.1", win::INADDR_NONE_},
        TAddressCase{"1.2.3.256", win::INADDR_NONE_}, TAddressCase{"1.2.65536", win::INADDR_NONE_},
        TAddressCase{"1.16777216", win::INADDR_NONE_},
        TAddressCase{"4294967296", win::INADDR_NONE_}, TAddressCase{"08.0.0.1", win::INADDR_NONE_},
        TAddressCase{"0x", win::INADDR_NONE_}, TAddressCase{"0xG.0.0.1", win::INADDR_NONE_},
        TAddressCase{"-1.0.0.1", win::INADDR_NONE_}, TAddressCase{"+1.0.0.1", win::INADDR_NONE_},
        TAddressCase{"localhost", win::INADDR_NONE_},
        TAddressCase{"99999999999999999999", win::INADDR_NONE_}),
    [](const ::testing::TestParamInfo<TAddressCase>& row) {
      return "Row" + std::to_string(row.index);
    });

TEST(InetAddr, NullIsNone) { EXPECT_EQ(win::inet_addr(nullptr), win::INADDR_NONE_); }

struct TErrnoCase {
  int Errno;
  int Wsa;
};

class ErrnoTranslationTest : public ::testing::TestWithParam<TErrnoCase> {};

TEST_P(ErrnoTranslationTest, Maps) {
  EXPECT_EQ(win::detail::WsaErrorFromErrno(GetParam().Errno), GetParam().Wsa)
      << std::strerror(GetParam().Errno);
}

// The two numbering schemes differ: 10000 + errno would be wrong for nearly every row.
INSTANTIATE_TEST_SUITE_P(
    Table, ErrnoTranslationTest,
    ::testing::Values(
        TErrnoCase{EAGAIN, 10035}, TErrnoCase{EWOULDBLOCK, 10035}, TErrnoCase{EINPROGRESS, 10035},
        TErrnoCase{EALREADY, 10037}, TErrnoCase{EBADF, 10038}, TErrnoCase{ENOTSOCK, 10038},
        TErrnoCase{EINVAL, 10022}, TErrnoCase{EFAULT, 10014}, TErrnoCase{EMFILE, 10024},
        TErrnoCase{ENFILE, 10024}, TErrnoCase{EACCES, 10013}, TErrnoCase{EPERM, 10013},
        TErrnoCase{EMSGSIZE, 10040}, TErrnoCase{EOPNOTSUPP, 10045}, TErrnoCase{EAFNOSUPPORT, 10047},
        TErrnoCase{EADDRINUSE, 10048}, TErrnoCase{EADDRNOTAVAIL, 10049},
        TErrnoCase{ENETDOWN, 10050}, TErrnoCase{ENETUNREACH, 10051}, TErrnoCase{ENETRESET, 10052},
        TErrnoCase{ECONNABORTED, 10053}, TErrnoCase{ECONNRESET, 10054}, TErrnoCase{ENOBUFS, 10055},
        TErrnoCase{ENOMEM, 10055}, TErrnoCase{EISCONN, 10056}, TErrnoCase{ENOTCONN, 10057},
        TErrnoCase{ESHUTDOWN, 10058}, TErrnoCase{ETIMEDOUT, 10060}, TErrnoCase{ECONNREFUSED, 10061},
        TErrnoCase{EHOSTDOWN, 10064}, TErrnoCase{EHOSTUNREACH, 10065}),
    [](const ::testing::TestParamInfo<TErrnoCase>& row) {
      return "Errno" + std::to_string(row.param.Errno) + "_" + std::to_string(row.index);
    });

// A literal and its canonical text; "" where it is no address.
struct TTextCase {
  const char* Text;
  const char* Canonical;
};
void PrintTo(const TTextCase& Row, std::ostream* Out) { *Out << '"' << Row.Text << '"'; }
class AddressTextTest : public ::testing::TestWithParam<TTextCase> {};

TEST_P(AddressTextTest, ParsesAndFormatsCanonically) {
  const TTextCase& c = GetParam();
  EXPECT_EQ(win::CanonicalAddress(c.Text), c.Canonical);
  EXPECT_EQ(win::SameAddress(c.Text, c.Canonical), *c.Canonical != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressTextTest,
    ::testing::Values(
        TTextCase{"::", "::"}, TTextCase{"0:0::1", "::1"}, TTextCase{"0:0:0:0:0:0:0:1", "::1"},
        TTextCase{"1::", "1::"}, TTextCase{"2001:DB8:0:0:0:0:2:1", "2001:db8::2:1"},
        TTextCase{"2001:0db8:0000:0001:0000:0000:0000:0001", "2001:db8:0:1::1"},
        TTextCase{"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of equal runs
        TTextCase{"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        TTextCase{"::FFFF:c000:0201", "::ffff:192.0.2.1"}, TTextCase{"::102:304", "::102:304"},
        TTextCase{"1:2:3:4:5:6:192.0.2.1", "1:2:3:4:5:6:c000:201"},
        TTextCase{"192.0.2.1", "192.0.2.1"}, TTextCase{"1:2:3:4:5:6:7:8:9", ""},
        TTextCase{"1:2:3:4::5:6:7:8", ""}, TTextCase{"1::2::3", ""}, TTextCase{":1::", ""},
        TTextCase{"12345::", ""}, TTextCase{"::ffff:01.2.3.4", ""}, TTextCase{"[::1]", ""},
        TTextCase{"fe80::1%eth0", ""}, TTextCase{"::1 ", ""}, TTextCase{"127.1", ""},
        TTextCase{"", ""}),
    [](const ::testing::TestParamInfo<TTextCase>& row) {
      return "Row" + std::to_string(row.index);
    });

TEST(AddressText, SameAddressKeepsTheFamiliesApart) {
  EXPECT_TRUE(win::SameAddress("::ffff:127.0.0.1", "::FFFF:7f00:1"));
  EXPECT_FALSE(win::SameAddress("127.0.0.1", "::ffff:127.0.0.1"));
}

TEST(AddrInfoTranslation, MapsToLookupNumbers) {
  EXPECT_EQ(win::detail::WsaErrorFromAddrInfo(0), 0);
  EXPECT_EQ(win::detail::WsaErrorFromAddrInfo(EAI_NONAME), win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(win::detail::WsaErrorFromAddrInfo(EAI_AGAIN), win::WSATRY_AGAIN);
  EXPECT_EQ(win::detail::WsaErrorFromAddrInfo(EAI_FAIL), win::WSANO_RECOVERY);
  EXPECT_EQ(win::detail::WsaErrorFromAddrInfo(EAI_NODATA), win::WSANO_DATA);
  EXPECT_EQ(win::detail::WsaErrorFromAddrInfo(EAI_ADDRFAMILY), win::WSANO_DATA);
  EXPECT_EQ(win::detail::WsaErrorFromAddrInfo(EAI_MEMORY), win::WSAENOBUFS);
}

TEST(Startup, ReportsVersionOnePointOneAndCountsCleanups) {
  win::WSADATA data;
  ASSERT_EQ(win::WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(data.wHighVersion, 0x0101);
  EXPECT_GT(std::strlen(data.szDescription), 0u);
  EXPECT_GT(std::strlen(data.szSystemStatus), 0u);
  EXPECT_GT(data.iMaxSockets, 0);
  EXPECT_EQ(data.iMaxUdpDg, 65467);
  win::WSADATA second;
  ASSERT_EQ(win::WSAStartup(0x0101, &second), 0);
  EXPECT_EQ(win::WSACleanup(), 0);
  EXPECT_EQ(win::WSACleanup(), 0);
  EXPECT_EQ(win::WSACleanup(), win::SOCKET_ERROR) << "more clean-ups than start-ups";
  EXPECT_EQ(win::WSAGetLastError(), win::WSANOTINITIALISED);
  EXPECT_EQ(win::WSAStartup(0x0001, &data), win::WSAVERNOTSUPPORTED);
}

}  // namespace
}  // namespace platformtest
