// HAR texts compared across runs: what differs from run to run (dates, durations, the
// loopback port, the program's version) is masked, everything else must match.
#pragma once

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <string_view>

namespace testsupport {

namespace harmask {

inline void MaskPorts(nlohmann::json& Node) {
  static const std::regex Loopback(R"(127\.0\.0\.1:[0-9]+)");
  if (Node.is_string()) {
    Node = std::regex_replace(Node.get<std::string>(), Loopback, "127.0.0.1:(port)");
  } else if (Node.is_structured()) {
    for (auto& Child : Node) MaskPorts(Child);
  }
}

// A duration is masked; -1 (a stage not reached) stays, since it must match.
inline void MaskDuration(nlohmann::json& Value) {
  if (Value.is_number() && Value.get<double>() != -1) Value = "(ms)";
}

}  // namespace harmask

// The HAR document of Text with startedDateTime, time and every reached timing replaced by
// fixed strings, "127.0.0.1:<port>" in any string made "127.0.0.1:(port)", and the
// creator's version masked. Raises nlohmann::json::parse_error when Text is no JSON.
inline nlohmann::json MaskedHar(std::string_view Text) {
  nlohmann::json Doc = nlohmann::json::parse(Text);
  harmask::MaskPorts(Doc);
  if (!Doc.contains("log")) return Doc;
  auto& Log = Doc["log"];
  if (Log.contains("creator") && Log["creator"].contains("version"))
    Log["creator"]["version"] = "(version)";
  if (!Log.contains("entries") || !Log["entries"].is_array()) return Doc;
  for (auto& Entry : Log["entries"]) {
    if (Entry.contains("startedDateTime")) Entry["startedDateTime"] = "(date)";
    if (Entry.contains("time")) harmask::MaskDuration(Entry["time"]);
    if (Entry.contains("timings"))
      for (auto& Timing : Entry["timings"]) harmask::MaskDuration(Timing);
  }
  return Doc;
}

// The masked document as text with sorted keys, for comparisons that show a readable diff.
inline std::string MaskedHarText(std::string_view Text) { return MaskedHar(Text).dump(2) + "\n"; }

}  // namespace testsupport
