#include "engine_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace gzarc_cli {
namespace {

template <typename Fn>
void Resolve(void* handle, const char* name, Fn& slot, const std::string& path) {
  void* symbol = ::dlsym(handle, name);
  if (symbol == nullptr) {
    throw EngineLoadError(path + ": the engine lacks the export " + name);
  }
  slot = reinterpret_cast<Fn>(symbol);
}

std::string ExecutableDirectory() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return ".";
  std::string path(buffer.data(), static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

#define GZARC_RESOLVE(name) Resolve(handle_, #name, api_.name, path_)

Engine::Engine(const std::string& path) : path_(path) {
  // A bare name would make dlopen search the library path; the user means a file.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    throw EngineLoadError("cannot load the engine " + path + ": " + (why ? why : "unknown error"));
  }
  try {
    GZARC_RESOLVE(GetArchiveStatus);
    GZARC_RESOLVE(SetArchiveStatus);
    GZARC_RESOLVE(SetInputPath);
    GZARC_RESOLVE(SetDecompExtraFeatures);
    GZARC_RESOLVE(GetExtraInfoArc);
    GZARC_RESOLVE(SetSetFileNameProc);
    GZARC_RESOLVE(SetSetProgressProc);
    GZARC_RESOLVE(SetOkToReplaceProc);
    GZARC_RESOLVE(InitArcFile);
    GZARC_RESOLVE(CreateArcFile);
    GZARC_RESOLVE(DoneArcFile);
    GZARC_RESOLVE(InitFileMaskList);
    GZARC_RESOLVE(AppendFileMask);
    GZARC_RESOLVE(DoneFileMaskList);
    GZARC_RESOLVE(InitArcFileList);
    GZARC_RESOLVE(BuildArcFileList);
    GZARC_RESOLVE(DoneArcFileList);
    GZARC_RESOLVE(CompressFileMaskListArc);
    GZARC_RESOLVE(ExtractFileMaskListArc);
    GZARC_RESOLVE(DeleteFileMaskListArc);
  } catch (...) {
    ::dlclose(handle_);
    throw;
  }
}

#undef GZARC_RESOLVE

Engine::~Engine() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

std::string ChooseEnginePath(const std::string& fromOption) {
  if (!fromOption.empty()) return fromOption;
  if (const char* env = std::getenv("GZARC_ENGINE"); env != nullptr && *env != '\0') return env;
  const std::string here = ExecutableDirectory();
  const std::string beside = here + "/libgzarc.so";
  const std::string installed =
      std::filesystem::path(here + "/" GZARC_LIBDIR_FROM_BINDIR "/" GZARC_ENGINE_SONAME)
          .lexically_normal()
          .string();
  for (const std::string& candidate : {beside, installed}) {
    if (::access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  throw EngineLoadError("cannot find the engine: neither " + beside + " nor " + installed +
                        " exists (--engine PATH or GZARC_ENGINE names another)");
}

MaskList::MaskList(const EngineApi& api) : api_(api) {
  api_.InitFileMaskList(&list_);
}
MaskList::~MaskList() {
  api_.DoneFileMaskList(&list_);
}
bool MaskList::Append(const std::string& mask) {
  return api_.AppendFileMask(mask.c_str(), &list_) != 0;
}

EntryList::EntryList(const EngineApi& api) : api_(api) {
  api_.InitArcFileList(&list_);
}
EntryList::~EntryList() {
  api_.DoneArcFileList(&list_);
}

}  // namespace gzarc_cli
