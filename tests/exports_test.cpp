// The shared library as a host loads it: exactly the 41 exports, found by
// name, and the record layouts hosts rely on.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>
#include <fstream>
#include <string>

#include "gzarc.h"

namespace {

std::vector<std::string> ExportNames() {
  std::ifstream in(std::string(GZARC_SOURCE_DIR) + "/cmake/exports.txt");
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) names.push_back(line);
  }
  return names;
}

TEST(Exports, LibraryResolvesAllFortyOneNames) {
  void* library = ::dlopen(GZARC_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  const auto names = ExportNames();
  EXPECT_EQ(names.size(), 41u);
  for (const auto& name : names) EXPECT_NE(::dlsym(library, name.c_str()), nullptr) << name;
  ::dlclose(library);
}

TEST(Exports, NothingElseIsExported) {
  const std::string command = std::string("nm -D --defined-only ") + GZARC_LIBRARY_PATH +
                              " | awk '$2 ~ /^[TDBVWRi]$/ {print $3}' | sort";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    exported.push_back(s);
  }
  ::pclose(pipe);
  auto expected = ExportNames();
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(exported, expected);
}

// Natural alignment with the target's pointer width gives the hosts' layouts.
TEST(Exports, RecordLayouts) {
  static_assert(sizeof(FindData) == 320);
  static_assert(offsetof(FindData, fileName) == 44);
  static_assert(offsetof(FindData, alternateFileName) == 304);
  static_assert(sizeof(ArcExtraInfo) == 384);
  static_assert(offsetof(ArcExtraInfo, hostSystemCode) == 32);
  static_assert(offsetof(ArcExtraInfo, count) == 36);
  static_assert(offsetof(ArcExtraInfo, totalPackedSize) == 40);
  static_assert(offsetof(ArcExtraInfo, totalUnpackedSize) == 48);
  static_assert(offsetof(ArcExtraInfo, ratio) == 56);
#if UINTPTR_MAX > 0xFFFFFFFFu
    static_assert(sizeof(ArcEntry) == 496);
    static_assert(offsetof(ArcEntry, name) == 8);
    static_assert(offsetof(ArcEntry, packedSize) == 288);
    static_assert(offsetof(ArcEntry, unpackedSize) == 296);
    static_assert(offsetof(ArcEntry, dosDateTime) == 304);
    static_assert(offsetof(ArcEntry, attributes) == 308);
    static_assert(offsetof(ArcEntry, hostWords) == 312);
    static_assert(sizeof(ArcEntryList) == 24);
    static_assert(sizeof(FileMaskList) == 16);
    static_assert(sizeof(FileMaskEntry) == 528);
#else
    static_assert(sizeof(ArcEntry) == 488);
    static_assert(offsetof(ArcEntry, packedSize) == 280);
    static_assert(offsetof(ArcEntry, hostWords) == 304);
    static_assert(sizeof(ArcEntryList) == 12);
    static_assert(sizeof(FileMaskList) == 8);
    static_assert(sizeof(FileMaskEntry) == 520);
#endif
  SUCCEED();
}

}  // namespace
