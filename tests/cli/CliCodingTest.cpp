// orrery-cli --compressed against nginx, beside Debian's curl with the same options: a body
// nginx codes with gzip, files served as the brotli and zstd commands coded them, and a coding
// neither knows; the same exit status and, where both write one, the same bytes.
#include <gtest/gtest.h>

#include "tests/cli/ChildProcess.h"
#include "tests/cli/NginxServer.h"

namespace {

using clitest::RunProgram;

TEST(CliCodingTest, CompressedWritesWhatCurlWrites) {
  if (::access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl is not installed";
  std::string Text;
  for (int I = 0; I < 3000; ++I) Text += "line " + std::to_string(I * 7919 % 1000) + "\n";
  // Each coded file answers as the coding its name says; nginx codes the text itself.
  const auto Coded = [](const char* Tag) {
    return "    location = /" + std::string(Tag) + " { default_type text/plain; gzip off; add_header Content-Encoding " + Tag +
           "; try_files /page." + Tag + " =404; }\n";
  };
  clitest::TNginxServer Nginx("    gzip on; gzip_http_version 1.0; gzip_min_length 1; gzip_types *;\n" +
                              Coded("br") + Coded("zstd") + Coded("compress"));
  Nginx.Serve("page.txt", Text);
  const std::string Plain = (Nginx.Root() / "page.txt").string();
  Nginx.Serve("page.br", RunProgram({"/usr/bin/brotli", "-c", Plain}).Out);
  Nginx.Serve("page.zstd", RunProgram({"/usr/bin/zstd", "-c", "-q", Plain}).Out);
  Nginx.Serve("page.compress", Text);
  const struct {
    const char* Path;
    bool Compressed;
    int Status;
  } Rows[] = {{"/page.txt", true, 0}, {"/br", true, 0},  {"/zstd", true, 0},
              {"/compress", true, 61}, {"/br", false, 0}};
  for (const auto& R : Rows) {
    std::string Written[2];
    for (const int Curl : {0, 1}) {
      const std::string Out = (Nginx.Scratch() / ("out" + std::to_string(Curl))).string();
      std::vector<std::string> Argv{Curl ? "/usr/bin/curl" : ORRERY_CLI_PATH, "-s", "-o", Out,
                                    "-w", "%{size_download}"};
      if (Curl) Argv.push_back("-0");
      if (R.Compressed) Argv.push_back("--compressed");
      Argv.push_back(Nginx.Url(R.Path));
      const clitest::TRunResult Run = RunProgram(Argv);
      EXPECT_EQ(Run.Status, R.Status) << Argv[0] << " " << R.Path << " " << Run.Err;
      Written[Curl] = clitest::ReadBytes(Out);
      // The bytes on the wire are counted, and they were coded: fewer than the text's.
      if (R.Status == 0 && R.Compressed) {
        EXPECT_LT(std::stoll(Run.Out), std::ssize(Text)) << Argv[0] << " " << R.Path;
      }
    }
    if (R.Status != 0) continue;
    EXPECT_EQ(Written[0], Written[1]) << R.Path;
    if (R.Compressed) {
      EXPECT_EQ(Written[0], Text) << R.Path;
    }
  }
}

}  // namespace
