// What two clients that send "the same request" must agree on, whatever order they write
// their header lines in: the command renderer's and the inspector's copied commands, run
// again, are held to it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "inspect/HttpText.h"

// The request line, the header lines in sorted order and the body, one text to compare.
inline std::string ComparableRequest(const std::string& Request) {
  const auto End = Request.find("\r\n\r\n");
  const std::string Head = Request.substr(0, End) + "\r\n";
  std::vector<std::string> Sorted;
  for (const auto& L : HeaderLines(Head)) Sorted.emplace_back(L);
  if (Sorted.empty()) return Request;
  std::sort(Sorted.begin() + 1, Sorted.end());
  std::string Out;
  for (const std::string& L : Sorted) Out += L + "\n";
  return Out + "--\n" + (End == std::string::npos ? "" : Request.substr(End + 4));
}
