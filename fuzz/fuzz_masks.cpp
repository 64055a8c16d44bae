// Arbitrary mask lists and names: splitting, folding and matching stay in
// their buffers whatever the lengths and bytes.
#include <cstdint>
#include <string>

#include "gzarc.h"
#include "paths/file_masks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Newline-separated: the last piece is the candidate name, the others masks.
  std::string text(reinterpret_cast<const char*>(data), size);
  for (char& c : text) {
    if (c == '\0') c = '\x01';
  }
  FileMaskList list;
  InitFileMaskList(&list);
  std::size_t start = 0;
  std::string name;
  while (true) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      name = text.substr(start);
      break;
    }
    AppendFileMask(text.substr(start, end - start).c_str(), &list);
    start = end + 1;
  }
  gzarc::MatchFileMaskList(name.c_str(), &list);
  DoneFileMaskList(&list);
  if (list.head != nullptr || list.tail != nullptr) __builtin_trap();
  return 0;
}
