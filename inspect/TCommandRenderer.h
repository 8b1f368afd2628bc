// TCommandRenderer: a pass's request as a command that sends it again, for a POSIX shell:
// an orrery-cli command and a curl command.
//
// Both name the method, every header line that the program would not compose the same way
// by itself, the body and the proxy, and end with the URL. A body that cannot stand on a
// command line as it is (a NUL or another control byte but LF and tab, a first '@' that
// both programs would read as a file name, or more than 64 KiB, past which a program may
// not be started with it) is piped in by the shell's printf and named "@-". Only the bytes
// of the body the pass kept (TExchangePass::BodyKept) can be rendered.
//
// A pass that went to another host than its URL's, named by the owner after a failed
// look-up (TExchangePass::HostUsed), is sent there again: curl with "--connect-to
// HOST:PORT:USED:PORT"; orrery-cli, which has no such option, with the host used in the URL
// and the Host line as it was sent.
#pragma once

#include <string>
#include <string_view>

#include "inspect/TExchangePass.h"
#include "tls/TTlsSettings.h"

class TCommandRenderer {
 public:
  // "orrery-cli [-0|--http1.1|--http2|--http2-prior-knowledge] [--compressed] -X METHOD
  // [-H 'Name: value']... [--target URI] [--data-binary DATA] [-x HOST:PORT] URL", the
  // version as the request line says it (as curl's flags name it). Lines the component
  // composes by itself are left out (Host for the URL's server, its two Accept lines and its
  // form Content-type, Proxy-Connection, the computed Content-Length, and the URI-header or
  // Link line, which --target gives); a composed line that is missing is removed with
  // "-H 'Name:'". HEAD is "-I".
  static std::string OrreryCli(const TExchangePass& Pass);

  // "curl -0|--http1.1|--http2|--http2-prior-knowledge -X METHOD [-H 'Name: value']...
  // [--data-binary DATA] [-x HOST:PORT] URL", the version as the request line says it (-0
  // when it names none; HTTP/2 by prior knowledge over plain http), one
  // -H per header line sent, except Content-Length (curl computes it) and Host when it is
  // what curl sends for the URL. Headers curl adds by itself that the pass did not send
  // (User-Agent, Accept, Host, and Content-Type with a body) are removed with "-H 'Name:'".
  // HEAD is "-I", since with
  // "-X HEAD" curl would wait for a body. "-g" keeps curl from expanding [] and {} in the
  // URL, and "--path-as-is" from merging "/./" and "/../".
  static std::string Curl(const TExchangePass& Pass);

  // The TLS options of an https pass made with Settings, each after a blank, for either
  // command: "-k" for checks turned off or waived; for a certificate accepted after its
  // refusal, "-k --pinnedpubkey sha256//KEY" with its public key's hash, which waives the check
  // for that key alone ("-k" alone when the facts hold no hash); then --cacert, --cert and
  // --key as the settings name them. "" for a pass that is not https.
  static std::string TlsOptions(const TExchangePass& Pass, const TTlsSettings& Settings);

  // Word quoted for a POSIX shell: as it is when it holds only letters, digits and
  // "_@%+=:,./-", else in single quotes with each ' written as '\''.
  static std::string ShellQuote(std::string_view Word);

  // A printf(1) format that prints Bytes exactly: '%' and '\' doubled, control bytes but
  // LF and tab (and a leading '-') as three-digit octal escapes.
  static std::string PrintfFormat(std::string_view Bytes);
};
