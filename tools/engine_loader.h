// Loads the engine library at run time and resolves its exports by name,
// as any archiver host does. Nothing of the engine is linked in.
#pragma once

#include <stdexcept>
#include <string>

#include "gzarc.h"

namespace gzarc_cli {

// The library could not be loaded or lacks an export the host needs.
class EngineLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The exports this host calls, with the header's own types.
struct EngineApi {
  decltype(&::GetArchiveStatus) GetArchiveStatus = nullptr;
  decltype(&::SetArchiveStatus) SetArchiveStatus = nullptr;
  decltype(&::SetInputPath) SetInputPath = nullptr;
  decltype(&::SetDecompExtraFeatures) SetDecompExtraFeatures = nullptr;
  decltype(&::GetExtraInfoArc) GetExtraInfoArc = nullptr;
  decltype(&::SetSetFileNameProc) SetSetFileNameProc = nullptr;
  decltype(&::SetSetProgressProc) SetSetProgressProc = nullptr;
  decltype(&::SetOkToReplaceProc) SetOkToReplaceProc = nullptr;
  decltype(&::InitArcFile) InitArcFile = nullptr;
  decltype(&::CreateArcFile) CreateArcFile = nullptr;
  decltype(&::DoneArcFile) DoneArcFile = nullptr;
  decltype(&::InitFileMaskList) InitFileMaskList = nullptr;
  decltype(&::AppendFileMask) AppendFileMask = nullptr;
  decltype(&::DoneFileMaskList) DoneFileMaskList = nullptr;
  decltype(&::InitArcFileList) InitArcFileList = nullptr;
  decltype(&::BuildArcFileList) BuildArcFileList = nullptr;
  decltype(&::DoneArcFileList) DoneArcFileList = nullptr;
  decltype(&::CompressFileMaskListArc) CompressFileMaskListArc = nullptr;
  decltype(&::ExtractFileMaskListArc) ExtractFileMaskListArc = nullptr;
  decltype(&::DeleteFileMaskListArc) DeleteFileMaskListArc = nullptr;

  // The 16-bit archive status of the last operation.
  uint16_t Status() const { return GetArchiveStatus(); }
};

// Owns the loaded library for the life of the process's work.
class Engine {
 public:
  // Loads the library at path; throws EngineLoadError.
  explicit Engine(const std::string& path);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  const EngineApi& api() const { return api_; }
  const std::string& path() const { return path_; }

 private:
  void* handle_ = nullptr;
  std::string path_;
  EngineApi api_;
};

// The engine to load: --engine, else $GZARC_ENGINE, else libgzarc.so beside
// the running executable (a build folder), else libgzarc.so.0 in the library
// folder of the prefix it is installed in (bin/../lib). Throws
// EngineLoadError when neither exists.
std::string ChooseEnginePath(const std::string& fromOption);

// A host's file-mask list: owns the engine-allocated entries.
class MaskList {
 public:
  explicit MaskList(const EngineApi& api);
  ~MaskList();
  MaskList(const MaskList&) = delete;
  MaskList& operator=(const MaskList&) = delete;

  // False when the engine could not take the mask.
  bool Append(const std::string& mask);
  const FileMaskList* get() const { return &list_; }

 private:
  const EngineApi& api_;
  FileMaskList list_{};
};

// A host's archive list: owns the engine-allocated entries.
class EntryList {
 public:
  explicit EntryList(const EngineApi& api);
  ~EntryList();
  EntryList(const EntryList&) = delete;
  EntryList& operator=(const EntryList&) = delete;

  ArcEntryList* get() { return &list_; }
  const ArcEntryList& list() const { return list_; }

 private:
  const EngineApi& api_;
  ArcEntryList list_{};
};

}  // namespace gzarc_cli
