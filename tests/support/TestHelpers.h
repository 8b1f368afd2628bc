// Small helpers shared by the test suites and the drivers built beside them.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <ctime>

#include <string>

// Every occurrence of Key in Text replaced by Value; a Value that contains Key is not
// searched again.
inline std::string Replaced(std::string Text, const std::string& Key, const std::string& Value) {
  for (auto At = Text.find(Key); At != std::string::npos; At = Text.find(Key, At + Value.size()))
    Text.replace(At, Key.size(), Value);
  return Text;
}

// Descriptors this process has open now, for checks that nothing leaked.
inline int OpenDescriptors() {
  int Count = 0;
  if (DIR* D = ::opendir("/proc/self/fd")) {
    while (const dirent* E = ::readdir(D))
      if (E->d_name[0] != '.') ++Count;
    ::closedir(D);
  }
  return Count;
}

// The process's local time zone set to Zone until the end of the scope, so that a test shows
// where local time was used for UTC.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* Zone) {
    if (const char* Old = std::getenv("TZ")) FOld = Old, FHad = true;
    ::setenv("TZ", Zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    FHad ? ::setenv("TZ", FOld.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::string FOld;
  bool FHad = false;
};
