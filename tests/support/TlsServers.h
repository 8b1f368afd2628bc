// nginx serving each leaf of the test PKI over TLS on free loopback ports, for the tests that
// run a client (Orrery's or curl) against real TLS servers. Each server answers with its name.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "tests/integration/ServerProcess.h"
#include "tests/support/TestPki.h"

namespace testsupport {

// One nginx, one SNI listener with a server_name per leaf, and listeners of their own for what
// SNI cannot select: the IP-address leaf (no SNI is sent for an address), TLS 1.2 only, TLS 1.3
// only, and a client certificate required. Stopped with the object.
class TTlsServers {
 public:
  TTlsServers() {
    for (int Try = 0; Try < 5 && Port == 0; ++Try) {
      const std::uint16_t Ports[] = {FreePort(), FreePort(), FreePort(), FreePort(), FreePort()};
      if (std::set<std::uint16_t>(std::begin(Ports), std::end(Ports)).size() != 5) continue;
      const std::string File = FDir.Write("nginx.conf", Config(Ports));
      const std::string& D = FDir.Path();
      // nginx binds every listener before it serves one, so the first accepting is enough.
      if (!FProcess.Start({"/usr/sbin/nginx", "-p", D, "-c", File, "-e", D + "/error.log"},
                          Ports[0], D))
        continue;  // a port was taken between the probe and nginx's bind
      Port = Ports[0], IpPort = Ports[1], Tls12Port = Ports[2], Tls13Port = Ports[3];
      ClientCertPort = Ports[4];
    }
  }

  bool Ok() const { return Port != 0; }
  // Why nginx did not start.
  std::string ErrorLog() const {
    std::ifstream In(FDir.Path() + "/error.log");
    return std::string(std::istreambuf_iterator<char>(In), {});
  }

  std::uint16_t Port = 0;            // every named leaf by SNI; good.test when none matches
  std::uint16_t IpPort = 0;          // the IP-address leaf (127.0.0.1, ::1)
  std::uint16_t Tls12Port = 0;       // good.test, TLS 1.2 only
  std::uint16_t Tls13Port = 0;       // good.test, TLS 1.3 only
  std::uint16_t ClientCertPort = 0;  // good.test, a client certificate from the root required

 private:
  static std::string Server(const std::string& Listen, const std::string& Name,
                            const TPkiCert& Leaf, const std::string& Extra = "") {
    return "  server {\n    listen 127.0.0.1:" + Listen + " ssl;\n    server_name " + Name +
           ";\n    ssl_certificate " + Leaf.Chain + ";\n    ssl_certificate_key " + Leaf.Key +
           ";\n" + Extra + "    location / { return 200 \"" + Name + "\\n\"; }\n  }\n";
  }

  std::string Config(const std::uint16_t (&Ports)[5]) const {
    const TTestPki& Pki = TTestPki::Get();
    const std::string& D = FDir.Path();
    const std::string Main = std::to_string(Ports[0]);
    // nginx refuses to load a SHA-1 or RSA 1024 certificate at the default security level.
    const std::string Weak = "    ssl_ciphers DEFAULT:@SECLEVEL=0;\n";
    std::string Conf = "daemon off;\nmaster_process off;\npid " + D + "/nginx.pid;\nerror_log " +
                       D + "/error.log;\nevents { worker_connections 64; }\nhttp {\n" +
                       "  access_log off;\n  default_type text/plain;\n" +
                       "  ssl_protocols TLSv1.2 TLSv1.3;\n";
    for (const char* Temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      Conf += std::string("  ") + Temp + "_temp_path " + D + "/tmp_" + Temp + ";\n";
    Conf += Server(Main + " default_server", "good.test", Pki.Good);
    for (const TPkiCert* Leaf : {&Pki.Expired, &Pki.NotYetValid, &Pki.WrongHost, &Pki.Wildcard,
                                 &Pki.SelfSigned, &Pki.Untrusted, &Pki.LeafOnly})
      Conf += Server(Main, Leaf->Host, *Leaf);
    Conf += Server(Main, Pki.Sha1.Host, Pki.Sha1, Weak);
    Conf += Server(Main, Pki.Rsa1024.Host, Pki.Rsa1024, Weak);
    Conf += Server(std::to_string(Ports[1]) + " default_server", "127.0.0.1", Pki.Ip);
    Conf += Server(std::to_string(Ports[2]), "good.test", Pki.Good, "    ssl_protocols TLSv1.2;\n");
    Conf += Server(std::to_string(Ports[3]), "good.test", Pki.Good, "    ssl_protocols TLSv1.3;\n");
    Conf += Server(std::to_string(Ports[4]), "good.test", Pki.Good,
                   "    ssl_verify_client on;\n    ssl_client_certificate " + Pki.RootFile + ";\n");
    return Conf + "}\n";
  }

  ScratchDir FDir;
  ServerProcess FProcess;
};

}  // namespace testsupport
