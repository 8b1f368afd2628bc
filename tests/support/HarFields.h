// Every field HAR 1.2 requires, with its type, checked on a whole document: the log, its
// creator and each entry. Suites add their own checks on what their exchanges hold.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#ifndef ORRERY_VERSION
#include "OrreryVersion.h"
#endif

namespace testsupport {

inline void ExpectRequiredHarFields(const nlohmann::json& Doc) {
  using json = nlohmann::json;
  using Is = bool (json::*)() const noexcept;
  const Is String = &json::is_string, Number = &json::is_number, Object = &json::is_object,
           Array = &json::is_array;
  const std::vector<std::pair<std::string, Is>> LogFields = {{"/log", Object},
                                                             {"/log/version", String},
                                                             {"/log/creator", Object},
                                                             {"/log/creator/name", String},
                                                             {"/log/creator/version", String},
                                                             {"/log/entries", Array}};
  const std::vector<std::pair<std::string, Is>> EntryFields = {
      {"/startedDateTime", String},
      {"/time", Number},
      {"/request", Object},
      {"/request/method", String},
      {"/request/url", String},
      {"/request/httpVersion", String},
      {"/request/cookies", Array},
      {"/request/headers", Array},
      {"/request/queryString", Array},
      {"/request/headersSize", Number},
      {"/request/bodySize", Number},
      {"/response", Object},
      {"/response/status", Number},
      {"/response/statusText", String},
      {"/response/httpVersion", String},
      {"/response/cookies", Array},
      {"/response/headers", Array},
      {"/response/content", Object},
      {"/response/content/size", Number},
      {"/response/content/mimeType", String},
      {"/response/redirectURL", String},
      {"/response/headersSize", Number},
      {"/response/bodySize", Number},
      {"/cache", Object},
      {"/timings", Object},
      {"/timings/blocked", Number},
      {"/timings/dns", Number},
      {"/timings/connect", Number},
      {"/timings/send", Number},
      {"/timings/wait", Number},
      {"/timings/receive", Number}};
  const std::regex Iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
  for (const auto& [Pointer, Check] : LogFields) {
    ASSERT_TRUE(Doc.contains(json::json_pointer(Pointer))) << Pointer;
    EXPECT_TRUE((Doc.at(json::json_pointer(Pointer)).*Check)()) << Pointer;
  }
  EXPECT_EQ(Doc["log"]["version"], "1.2");
  EXPECT_EQ(Doc["log"]["creator"]["name"], "Orrery");
  EXPECT_EQ(Doc["log"]["creator"]["version"], ORRERY_VERSION);
  ASSERT_FALSE(Doc["log"]["entries"].empty());
  for (const json& Entry : Doc["log"]["entries"]) {
    for (const auto& [Pointer, Check] : EntryFields) {
      ASSERT_TRUE(Entry.contains(json::json_pointer(Pointer))) << Pointer;
      EXPECT_TRUE((Entry.at(json::json_pointer(Pointer)).*Check)()) << Pointer;
    }
    EXPECT_TRUE(std::regex_match(Entry["startedDateTime"].get<std::string>(), Iso))
        << Entry["startedDateTime"];
    // A stage not reached is -1; the ones reached are not negative.
    for (const auto& T : Entry["timings"]) EXPECT_GE(T.get<double>(), -1);
  }
}

}  // namespace testsupport
