// Field and delimiter scans.
#include <gtest/gtest.h>

#include "socket/Delimited.h"

TEST(Delimited, Fields) {
  struct Row {
    const char* Text;
    char Delimiter;
    int N;
    const char* Field;
  };
  const Row Rows[] = {
      {"HTTP/1.0 200 OK", ' ', 1, "HTTP/1.0"},
      {"HTTP/1.0 200 OK", ' ', 2, "200"},
      {"HTTP/1.0 200 OK", ' ', 3, "OK"},
      {"HTTP/1.0 200 OK", ' ', 4, ""},
      {"Content-Length: 12", ' ', 1, "Content-Length:"},
      {"a,,b", ',', 1, "a"},
      {"a,,b", ',', 2, ""},
      {"a,,b", ',', 3, "b"},
      {",a", ',', 1, ""},
      {",a", ',', 2, "a"},
      {"a,", ',', 2, ""},
      {"abc", ',', 1, "abc"},
      {"abc", ',', 0, ""},
      {"abc", ',', -3, ""},
      {"", ',', 1, ""},
  };
  for (const auto& R : Rows)
    EXPECT_EQ(DelimitedField(R.Text, R.Delimiter, R.N), R.Field) << R.Text << " #" << R.N;
}

TEST(Delimited, Positions) {
  const std::string Url = "http://host.example/path/x";
  struct Row {
    std::string Text;
    char Delimiter;
    int N;
    int Position;
  };
  const Row Rows[] = {
      {Url, '/', 3, 20},  // the slash that begins the path
      {Url, '/', 1, 6},
      {"http://host.example/", '/', 3, 21},  // last character: counts as the end
      {"http://host.example", '/', 3, 20},
      {"abc", '/', 1, 4},
      {"", '/', 1, 1},
      {"a/b", '/', 0, 4},
  };
  for (const auto& R : Rows)
    EXPECT_EQ(DelimiterPosition(R.Text, R.Delimiter, R.N), R.Position) << R.Text << " #" << R.N;
}
