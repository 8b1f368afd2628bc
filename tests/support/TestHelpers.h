// Small helpers shared by the test suites and the drivers built beside them.
#pragma once

#include <dirent.h>

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
