#include "archive_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "format.h"
#include "host_paths.h"
#include "messages.h"

namespace gzarc_cli {
namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void AppendMasks(const EngineApi& api, MaskList& list, const std::vector<std::string>& masks,
                 const std::string& display) {
  for (const auto& mask : masks) {
    CheckLength(mask, kMaxMask, "the mask");
    if (!list.Append(mask)) throw StatusError(api.Status(), display);
  }
}

// ---- Callbacks: the engine calls these with the session as context. ------

int32_t GZARC_CALL OnFileName(void* context, const char* /*from*/, const char* to) {
  auto& session = *static_cast<HostSession*>(context);
  session.currentTarget = FromEngineForm(to != nullptr ? to : "");
  session.reported.push_back(session.currentTarget);
  return 1;
}

int32_t GZARC_CALL OnProgress(void* context, int32_t percent, int32_t count) {
  auto& session = *static_cast<HostSession*>(context);
  session.progress.Step(percent, count);
  return Interrupted() ? 0 : 1;
}

int32_t GZARC_CALL OnReplace(void* context, const FindData* existing, const FindData* member) {
  auto& session = *static_cast<HostSession*>(context);
  const std::string& target = session.currentTarget;
  switch (session.existing) {
    case ExistingPolicy::kOverwrite:
      return GZARC_REPLACE_EXTRACT;
    case ExistingPolicy::kSkip:
      session.skipped.push_back(target);
      return GZARC_REPLACE_SKIP;
    case ExistingPolicy::kAsk:
      break;
  }
  if (session.replaceAll) return GZARC_REPLACE_EXTRACT;
  if (session.replaceNone) {
    session.skipped.push_back(target);
    return GZARC_REPLACE_SKIP;
  }
  if (!session.canPrompt) {
    session.refused.push_back(target);
    return GZARC_REPLACE_SKIP;
  }
  session.progress.Clear();
  const auto asked = std::chrono::steady_clock::now();
  const ReplaceAnswer answer = AskReplace(target, *existing, *member);
  session.progress.ExcludeWait(std::chrono::steady_clock::now() - asked);
  switch (answer) {
    case ReplaceAnswer::kAll:
      session.replaceAll = true;
      [[fallthrough]];
    case ReplaceAnswer::kYes:
      return GZARC_REPLACE_EXTRACT;
    case ReplaceAnswer::kNone:
      session.replaceNone = true;
      [[fallthrough]];
    case ReplaceAnswer::kNo:
      session.skipped.push_back(target);
      return GZARC_REPLACE_SKIP;
    case ReplaceAnswer::kQuit:
      session.quit = true;
      return GZARC_REPLACE_CANCEL;
  }
  return GZARC_REPLACE_CANCEL;
}

// Registers the session's callbacks now (the engine drops callbacks when an
// archive is opened) and unregisters them when the operation is over.
class CallbackScope {
 public:
  CallbackScope(const EngineApi& api, HostSession& session, bool replace) : api_(api) {
    api_.SetSetFileNameProc(&session, OnFileName);
    api_.SetSetProgressProc(&session, OnProgress);
    if (replace) api_.SetOkToReplaceProc(&session, OnReplace);
  }
  ~CallbackScope() {
    api_.SetSetFileNameProc(nullptr, nullptr);
    api_.SetSetProgressProc(nullptr, nullptr);
    api_.SetOkToReplaceProc(nullptr, nullptr);
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  const EngineApi& api_;
};

void OpenArchive(const EngineApi& api, const std::string& archive, const std::string& display) {
  const std::string engineArchive = ToEngineForm(archive);
  CheckLength(engineArchive, kMaxArchivePath, "the archive path");
  api.InitArcFile(engineArchive.c_str());
  const uint16_t status = api.Status();
  if (status == GZARC_STATUS_FILE_ERROR) {
    const std::string why = FileProblem(archive, false);
    // A missing archive named like "*.txt" is most likely a mask given without -m.
    const bool looksLikeMask =
        display.find_first_of("*?") != std::string::npos && !FileExists(archive);
    throw CliError(ExitCode::kFileError,
                   display + ": cannot open" + (why.empty() ? "" : " (" + why + ")") +
                       (looksLikeMask ? "; masks are given with -m MASK" : ""));
  }
  if (status != GZARC_STATUS_OK) throw StatusError(status, display);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// The archive being written, removed unless it was moved into place.
struct TemporaryArchive {
  TemporaryArchive() = default;
  ~TemporaryArchive() {
    if (!path.empty()) ::unlink(path.c_str());
  }
  TemporaryArchive(const TemporaryArchive&) = delete;
  TemporaryArchive& operator=(const TemporaryArchive&) = delete;

  std::string path;
};

// A hidden name in the archive's folder: ".gzarc-" and six random letters
// and digits. It has a dot, so the engine adds no extension to it.
std::string TemporaryNameBeside(const std::string& archive) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937 random{std::random_device{}()};
  std::string name = ".gzarc-";
  for (int i = 0; i < 6; ++i) name += kAlphabet[random() % (sizeof kAlphabet - 1)];
  const std::string folder = DirName(archive);
  return (folder == "/" ? "" : folder) + "/" + name;
}

// rename() that fails with EEXIST instead of replacing a file that has
// appeared at to since it was looked for.
int RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  if (::link(from.c_str(), to.c_str()) == 0) return ::unlink(from.c_str()), 0;
  if (errno == EEXIST) return -1;
  // A file system without hard links: the small window is unavoidable.
  if (FileExists(to)) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from.c_str(), to.c_str());
}

// Gives the complete archive its name. One that replaces an old archive
// reaches the disk first, so that a crash leaves the old one or the whole
// new one.
void MoveIntoPlace(TemporaryArchive& temp, const std::string& archive, const std::string& display,
                   bool replace) {
  if (replace) {
    const int fd = ::open(temp.path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced || ::rename(temp.path.c_str(), archive.c_str()) != 0) {
      throw CliError(ExitCode::kFileError, display + ": cannot replace the old archive (" +
                                               std::strerror(errno) + "); it is kept");
    }
  } else if (RenameNoReplace(temp.path, archive) != 0) {
    if (errno == EEXIST) {
      throw CliError(ExitCode::kExists, display + ": appeared while compressing; not replaced");
    }
    throw CliError(ExitCode::kFileError,
                   display + ": cannot give the archive its name (" + std::strerror(errno) + ")");
  }
  temp.path.clear();
}

}  // namespace

std::string JoinMasks(const std::vector<std::string>& masks) {
  std::string text;
  for (const auto& mask : masks) text += (text.empty() ? "'" : ", '") + mask + "'";
  return text;
}

std::string FileProblem(const std::string& path, bool forWriting) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "is a folder";
  if (::access(path.c_str(), forWriting ? W_OK : R_OK) != 0) return std::strerror(errno);
  return "";
}

std::string WhyCannotWrite(const std::string& target, int64_t size, bool sizeIsExact) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "it is a folder";
  // The nearest path on the way that exists; a file there stops the walk.
  std::string folder = DirName(target);
  while (::stat(folder.c_str(), &st) != 0 && DirName(folder) != folder) folder = DirName(folder);
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    if (errno == EROFS) return folder + " is on a read-only file system";
    return folder + " is not writable (" + std::strerror(errno) + ")";
  }
  if (::access(target.c_str(), F_OK) == 0 && ::access(target.c_str(), W_OK) != 0) {
    return "the existing file is not writable (" + std::string(std::strerror(errno)) + ")";
  }
  // What failed was removed again, so the space it took is free once more:
  // a disk that cannot take the whole file, give or take a little, is full.
  struct statvfs disk {};
  if (::statvfs(folder.c_str(), &disk) == 0) {
    const int64_t free = static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_frsize);
    constexpr int64_t kSlack = int64_t{1} << 20;
    if (free < size + kSlack) {
      return "the disk is full (" + HumanSize(free) + " free" +
             (sizeIsExact ? ", " + HumanSize(size) + " needed)" : ")");
    }
  }
  return "";
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

Listing ListArchive(const EngineApi& api, const std::string& archive, const std::string& display,
                    const std::vector<std::string>& masks) {
  OpenArchive(api, archive, display);
  MaskList maskList(api);
  AppendMasks(api, maskList, masks, display);
  EntryList entries(api);
  api.BuildArcFileList(entries.get(), maskList.get());
  const uint16_t status = api.Status();
  if (status == GZARC_STATUS_NO_MATCH && !masks.empty()) {
    throw CliError(ExitCode::kNoMatch, display + ": no member matches " + JoinMasks(masks));
  }
  if (status == GZARC_STATUS_FILE_ERROR) {
    throw CliError(ExitCode::kFileError,
                   display + ": cannot read the member header or trailer (truncated archive?)");
  }
  if (status != GZARC_STATUS_OK) throw StatusError(status, display);

  Listing listing;
  for (const ArcEntry* e = entries.list().head; e != nullptr; e = e->next) {
    Member m;
    m.name.assign(e->name, strnlen(e->name, sizeof e->name));
    m.packedSize = e->packedSize;
    m.unpackedSize = e->unpackedSize;
    m.dosDateTime = e->dosDateTime;
    m.attributes = e->attributes;
    listing.members.push_back(std::move(m));
  }
  api.GetExtraInfoArc(&listing.info);
  return listing;
}

ExtractResult ExtractArchive(const EngineApi& api, HostSession& session, const std::string& archive,
                             const std::string& display, const std::string& folder,
                             const std::vector<std::string>& masks) {
  ArchiveScope archiveScope(api);
  const Listing listing = ListArchive(api, archive, display, masks);

  std::string engineFolder = ToEngineForm(folder);
  const std::string prefix = engineFolder.back() == '\\' ? engineFolder : engineFolder + '\\';
  CheckLength(prefix, kMaxOutputPath, "the output folder");
  int64_t total = 0;
  std::vector<std::string> targets;
  for (const auto& m : listing.members) {
    const std::string target = prefix + MemberFileName(m.name, archive);
    CheckLength(target, kMaxOutputPath, "the output path");
    targets.push_back(FromEngineForm(target));
    total += m.unpackedSize;
  }

  std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, '\0');
  std::memcpy(record.data() + GZARC_DECOMP_EXTRACT_DIR, engineFolder.c_str(), engineFolder.size());
  api.SetDecompExtraFeatures(record.data());

  // Written over with --overwrite or a "yes", the archive would be lost
  // halfway through its own extraction. The same file by device and inode
  // catches links and other spellings of the path.
  for (const auto& target : targets) {
    if (target != archive && !SameFile(target, archive)) continue;
    if (session.existing == ExistingPolicy::kSkip || session.replaceNone) {
      session.skipped.push_back(target);
      return {};
    }
    throw CliError(ExitCode::kExists, display + ": extracting it to " + target +
                                          " would overwrite the archive itself; not extracted"
                                          " (use -C DIR)");
  }

  MaskList maskList(api);
  AppendMasks(api, maskList, masks, display);
  const std::string label =
      listing.members.size() == 1 ? MemberFileName(listing.members[0].name, archive) : display;

  ExtractResult result;
  session.currentTarget.clear();
  session.reported.clear();
  {
    InterruptGuard interrupts;
    CallbackScope callbacks(api, session, true);
    // The listed size is the trailer's, modulo 2^32.
    session.progress.Begin("extracting " + label, total, true);
    const auto start = std::chrono::steady_clock::now();
    api.ExtractFileMaskListArc(maskList.get());
    result.seconds = SecondsSince(start) - session.progress.waitedSeconds();
    session.progress.Clear();
  }
  result.bytes = session.progress.bytes();

  const uint16_t status = api.Status();
  if (status == GZARC_STATUS_CANCELLED) {
    throw CliError(ExitCode::kCancelled,
                   display + ": cancelled" + CancelCause() + "; nothing extracted");
  }
  if (status == GZARC_STATUS_FILE_ERROR || status == GZARC_STATUS_WRITE_SHORT) {
    // The engine gives only a status; the file system tells why.
    const std::string target = !session.currentTarget.empty() ? session.currentTarget
                               : targets.empty()              ? ""
                                                              : targets.front();
    const std::string why =
        target.empty() ? "" : WhyCannotWrite(target, std::max(total, result.bytes));
    if (!why.empty()) {
      throw CliError(ExitCode::kFileError, display + ": cannot extract to " + target + ": " + why);
    }
    throw CliError(ExitCodeForStatus(status),
                   display + ": " + StatusText(status) +
                       (target.empty() ? "" : " (extracting to " + target + ")"));
  }
  if (status != GZARC_STATUS_OK) throw StatusError(status, display);

  const auto kept = [&](const std::string& path) {
    for (const auto& list : {session.skipped, session.refused}) {
      for (const auto& p : list) {
        if (p == path) return true;
      }
    }
    return false;
  };
  // The paths the engine reported writing, should its names differ from the
  // ones expected.
  for (const auto& target : session.reported.empty() ? targets : session.reported) {
    if (kept(target)) continue;
    // The engine reported success; make sure the file is really there.
    if (!FileExists(target)) {
      throw CliError(ExitCode::kFileError,
                     target + ": the engine reported success but wrote no file");
    }
    result.written.push_back(target);
  }
  return result;
}

CompressResult CompressFile(const EngineApi& api, HostSession& session, const std::string& archive,
                            const std::string& display, const std::string& inputFolder,
                            const std::vector<std::string>& masks, const std::string& sourceDisplay,
                            bool replace) {
  CheckLength(ToEngineForm(archive), kMaxArchivePath, "the archive path");
  // The engine appends a backslash to an input folder longer than three
  // characters and to nothing shorter, so a short folder brings its own.
  std::string engineInput = ToEngineForm(inputFolder);
  if (engineInput.size() <= 3 && engineInput.back() != '\\') engineInput += '\\';
  const std::string inputPrefix = engineInput.back() == '\\' ? engineInput : engineInput + '\\';
  for (const auto& mask : masks) {
    CheckLength(inputPrefix + ToEngineForm(mask), kMaxSourcePath, "the source path");
    if (SameFile(inputFolder + "/" + mask, archive)) {
      throw CliError(ExitCode::kUsage, display + ": the archive cannot be its own source");
    }
  }
  const std::string source = masks.empty() ? "" : inputFolder + "/" + masks.front();

  // The archive is written under a temporary name beside it and takes its
  // name only when complete: a failure, a cancel or a crash never leaves a
  // partial archive under that name, nor loses the archive it replaces.
  ArchiveScope archiveScope(api);
  TemporaryArchive temp;
  uint16_t status = GZARC_STATUS_EXISTS;
  for (int attempt = 0; attempt < 16 && status == GZARC_STATUS_EXISTS; ++attempt) {
    const std::string candidate = TemporaryNameBeside(archive);
    const std::string engineTemp = ToEngineForm(candidate);
    if (engineTemp.size() > kMaxArchivePath) {
      throw CliError(ExitCode::kUsage,
                     display + ": the folder's path is too long for the engine (at most " +
                         std::to_string(kMaxArchivePath - BaseName(candidate).size() - 1) +
                         " characters)");
    }
    api.CreateArcFile(engineTemp.c_str());
    status = api.Status();
    if (status == GZARC_STATUS_OK) temp.path = candidate;
  }
  if (status == GZARC_STATUS_FILE_ERROR) {
    const std::string parent = DirName(archive);
    const std::string why = ::access(parent.c_str(), W_OK) != 0 ? std::strerror(errno) : "";
    throw CliError(ExitCode::kFileError,
                   display + ": cannot create" + (why.empty() ? "" : " (" + why + ")"));
  }
  if (status != GZARC_STATUS_OK) throw StatusError(status, display);

  api.SetInputPath(engineInput.c_str());
  MaskList maskList(api);
  for (const auto& mask : masks) {
    if (!maskList.Append(ToEngineForm(mask))) throw StatusError(api.Status(), display);
  }

  CompressResult result;
  result.sourceSize = FileSize(source);
  session.currentTarget.clear();
  {
    InterruptGuard interrupts;
    CallbackScope callbacks(api, session, false);
    session.progress.Begin("compressing " + BaseName(source), result.sourceSize);
    const auto start = std::chrono::steady_clock::now();
    api.CompressFileMaskListArc(maskList.get());
    result.seconds = SecondsSince(start);
    session.progress.Clear();
  }

  status = api.Status();
  switch (status) {
    case GZARC_STATUS_OK:
      break;
    case GZARC_STATUS_CANCELLED:
      throw CliError(ExitCode::kCancelled,
                     display + ": cancelled" + CancelCause() +
                         (replace ? "; the old archive is kept" : "; no archive written"));
    case GZARC_STATUS_IS_DIRECTORY:
      throw StatusError(status, sourceDisplay);
    case GZARC_STATUS_FILE_ERROR: {
      const std::string why = FileProblem(source, false);
      if (!why.empty()) {
        throw CliError(ExitCode::kFileError, sourceDisplay + ": cannot open (" + why + ")");
      }
      throw StatusError(status, display);
    }
    case GZARC_STATUS_WRITE_SHORT: {
      // The archive takes at most about the source's size.
      const std::string why = WhyCannotWrite(archive, result.sourceSize, false);
      if (!why.empty()) throw CliError(ExitCode::kFileError, display + ": cannot write: " + why);
      throw StatusError(status, display);
    }
    default:
      throw StatusError(status, display);
  }
  MoveIntoPlace(temp, archive, display, replace);
  result.archiveSize = FileSize(archive);
  return result;
}

Listing DeleteFromArchive(const EngineApi& api, const std::string& archive,
                          const std::string& display, const std::vector<std::string>& masks) {
  ArchiveScope archiveScope(api);
  Listing listing = ListArchive(api, archive, display, masks);
  MaskList maskList(api);
  AppendMasks(api, maskList, masks, display);
  api.DeleteFileMaskListArc(maskList.get());
  const uint16_t status = api.Status();
  if (status != GZARC_STATUS_OK) throw StatusError(status, display);
  // The engine does not look at the outcome of the removal; the host does.
  if (FileExists(archive)) {
    const std::string parent = DirName(archive);
    const std::string why = ::access(parent.c_str(), W_OK) != 0 ? std::strerror(errno) : "";
    throw CliError(ExitCode::kFileError, display + ": the archive file could not be removed" +
                                             (why.empty() ? "" : " (" + why + ")"));
  }
  return listing;
}

}  // namespace gzarc_cli
