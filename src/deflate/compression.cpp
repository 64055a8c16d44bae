// The compression driver: the files, the member's framing, the statuses and
// the host's callbacks around one run of the compressor.
#include "deflate/compression.h"

#include <array>
#include <cstring>

#include "deflate/compressor.h"
#include "deflate/parallel_compression.h"
#include "engine/callbacks.h"
#include "engine/engine_state.h"
#include "gzip/crc32.h"
#include "gzip/member_format.h"
#include "platform/platform.h"

namespace gzarc::deflate {

namespace pf = platform;

CompressorState& Compressor() {
  static CompressorState state;
  return state;
}

uint16_t StatusOf(CompressOutcome outcome) {
  switch (outcome) {
    case CompressOutcome::kOk:
      return GZARC_STATUS_OK;
    case CompressOutcome::kReadFailed:
      return GZARC_STATUS_FILE_ERROR;
    case CompressOutcome::kWriteFailed:
      return GZARC_STATUS_WRITE_SHORT;
    case CompressOutcome::kNoMemory:
      return GZARC_STATUS_NO_MEMORY;
    case CompressOutcome::kStopped:
      return GZARC_STATUS_CANCELLED;
  }
  return GZARC_STATUS_FILE_ERROR;
}

namespace {

inline constexpr std::size_t kWorkPathSize = 261;  // 260 characters

// The source file as the compressor reads it: every read goes into the
// CRC-32 for the trailer and is reported to the host, who may cancel. The
// status word follows at once, so that a host asking for it from its
// callback sees the cancel it answered.
struct SourceReader {
  int file = pf::kNoFile;
  int64_t size = 0;       // the length at opening, what progress is measured against
  int64_t totalRead = 0;  // what the trailer describes: the bytes read, as read
  int64_t reported = 0;   // what the host has been told of
  uint32_t crc = kCrcStart;
};

// One read of the source into the CRC-32; the count, or -1 on failure.
int32_t ReadPiece(void* context, uint8_t* destination, uint32_t count) {
  SourceReader& reader = *static_cast<SourceReader*>(context);
  const int32_t read = pf::ReadFile(reader.file, destination, count);
  if (read < 0) return -1;
  reader.totalRead += read;
  if (read > 0) reader.crc = UpdateCrc32(reader.crc, destination, static_cast<uint32_t>(read));
  return read;
}

// Tells the host of a read: false when it cancels. The status word follows
// at once, so that a host asking for it from its callback sees the cancel it
// answered.
bool ReportPiece(void* context, uint32_t asked, uint32_t got) {
  SourceReader& reader = *static_cast<SourceReader*>(context);
  reader.reported += got;
  if (!HasProgressProc()) return true;
  // Counts are 64-bit, so a source of any size reports 0..100; one that
  // grows while it is read stays at 100.
  const int32_t percent =
      reader.reported > reader.size && reader.size > 0
          ? 100
          : ProgressPercent(reader.reported, reader.size, static_cast<int32_t>(asked));
  if (!CallProgressProc(percent, static_cast<int32_t>(got))) {
    SetStatus(GZARC_STATUS_CANCELLED);
    return false;
  }
  return true;
}

SourceRead ReadSource(void* context, uint8_t* destination, uint32_t count) {
  const int32_t read = ReadPiece(context, destination, count);
  if (read < 0) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return {0, CompressOutcome::kReadFailed};
  }
  const bool goOn = ReportPiece(context, count, static_cast<uint32_t>(read));
  return {static_cast<uint32_t>(read), goOn ? CompressOutcome::kOk : CompressOutcome::kStopped};
}

int32_t WriteArchive(void* context, const uint8_t* source, uint32_t count) {
  return pf::WriteFile(*static_cast<const int*>(context), source, count);
}

struct MemorySource {
  std::span<const uint8_t> input;
  std::size_t position = 0;
  uint32_t crc = kCrcStart;
};

SourceRead ReadMemory(void* context, uint8_t* destination, uint32_t count) {
  auto* m = static_cast<MemorySource*>(context);
  const std::size_t left = m->input.size() - m->position;
  const std::size_t n = left < count ? left : count;
  if (n != 0) {
    std::memcpy(destination, m->input.data() + m->position, n);
    m->crc = UpdateCrc32(m->crc, destination, n);
  }
  m->position += n;
  return {static_cast<uint32_t>(n), CompressOutcome::kOk};
}

int32_t WriteMemory(void* context, const uint8_t* source, uint32_t count) {
  auto* output = static_cast<std::vector<uint8_t>*>(context);
  output->insert(output->end(), source, source + count);
  return static_cast<int32_t>(count);
}

// Appends text to a zero-terminated path of kWorkPathSize bytes.
bool AppendPath(char* path, const char* text) {
  const std::size_t used = std::strlen(path);
  const std::size_t length = BoundedLength(text, kWorkPathSize);
  if (used + length + 1 > kWorkPathSize) return false;
  std::memcpy(path + used, text, length + 1);
  return true;
}

bool WriteAll(int fd, const void* data, std::size_t count) {
  return pf::WriteFile(fd, data, static_cast<uint32_t>(count)) == static_cast<int32_t>(count);
}

// When the driver refuses a list it removes the archive that CreateArcFile
// has just made for it, and only that.
void RemoveNewArchive() {
  const EngineState& e = Engine();
  if (e.ArchiveIsNew != 1) return;
  const uint32_t attributes = pf::GetFileAttributesA(e.ArchivePath);
  if (attributes == pf::kInvalidAttributes || (attributes & pf::kAttributeDirectory) != 0) return;
  pf::RemoveFile(e.ArchivePath);
}

// The files of the running compression.
struct OpenFiles {
  int archive = pf::kNoFile;
  int source = pf::kNoFile;
};

// Closes whatever is open and removes the partial archive.
void Discard(OpenFiles& files, uint16_t status) {
  if (status != GZARC_STATUS_OK) SetStatus(status);
  if (files.archive != pf::kNoFile) pf::CloseFile(files.archive);
  if (files.source != pf::kNoFile) pf::CloseFile(files.source);
  files = {};
  pf::RemoveFile(Engine().ArchivePath);
}

uint32_t CountEntries(const FileMaskList* list) {
  uint32_t count = 0;
  if (list == nullptr) return 0;
  for (const FileMaskEntry* entry = list->head; entry != nullptr && count < 2;
       entry = entry->next) {
    ++count;
  }
  return count;
}

// The fixed fields and the name go out as two writes.
bool WriteHeader(int fd, uint32_t modificationTime, const char* storedName) {
  std::array<uint8_t, kFixedHeaderSize + kWorkPathSize> header;
  const std::size_t size = BuildMemberHeader(modificationTime, storedName, header);
  return size != 0 && WriteAll(fd, header.data(), kFixedHeaderSize) &&
         WriteAll(fd, header.data() + kFixedHeaderSize, size - kFixedHeaderSize);
}

// The CRC-32 and the size go out as two writes. Both describe the bytes
// read: a source that grew or shrank while it was read is stored as read.
bool WriteTrailer(int fd, const SourceReader& reader) {
  const auto trailer = BuildMemberTrailer(~reader.crc, static_cast<uint64_t>(reader.totalRead));
  return WriteAll(fd, trailer.data(), 4) && WriteAll(fd, trailer.data() + 4, 4);
}

// Compresses the source into the archive through the driver's state, on
// every processor the process may use when the source is large enough; a
// failure or a cancel leaves its status.
void CompressFile(SourceReader& reader, int archiveFile) {
  const unsigned threads = CompressionThreads(static_cast<uint64_t>(reader.size));
  const CompressOutcome outcome =
      threads > 1
          ? CompressInParallel(Compressor(), {ReadPiece, ReportPiece, &reader},
                               {WriteArchive, &archiveFile}, threads, DefaultMatchVariant(),
                               static_cast<uint64_t>(reader.size))
          : CompressStream(Compressor(), {ReadSource, &reader}, {WriteArchive, &archiveFile});
  if (outcome != CompressOutcome::kOk) SetStatus(StatusOf(outcome));
}

void CompressEntry(const FileMaskEntry* entry) {
  EngineState& e = Engine();
  OpenFiles files;

  files.archive = pf::OpenFile(
      e.ArchivePath, pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenTruncate | pf::kOpenBinary,
      pf::kPermissionRead | pf::kPermissionWrite);
  if (files.archive == pf::kNoFile) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    // The empty file CreateArcFile made for this compression goes too.
    RemoveNewArchive();
    return;
  }

  char sourcePath[kWorkPathSize] = {};
  bool fits = AppendPath(sourcePath, e.InputPath) &&
              AppendPath(sourcePath, entry->folder != nullptr ? entry->folder : "");
  if (entry->name[0] == '\0') return Discard(files, GZARC_STATUS_NOTHING);
  fits = fits && AppendPath(sourcePath, entry->name);
  if (entry->extension[0] != '\0') {
    fits = fits && AppendPath(sourcePath, ".") && AppendPath(sourcePath, entry->extension);
  }
  // A path too long to be spelt cannot be found.
  char storedName[kWorkPathSize] = {};
  if (!fits || !BuildStoredName(entry, storedName, sizeof storedName)) {
    return Discard(files, GZARC_STATUS_FILE_ERROR);
  }

  pf::FileStatus status{};
  if (!pf::StatFile(sourcePath, &status)) return Discard(files, GZARC_STATUS_FILE_ERROR);
  const uint32_t attributes = pf::GetFileAttributesA(sourcePath);
  if (attributes != pf::kInvalidAttributes && (attributes & pf::kAttributeDirectory) != 0) {
    return Discard(files, GZARC_STATUS_IS_DIRECTORY);
  }
  files.source = pf::OpenFile(sourcePath, pf::kOpenReadOnly | pf::kOpenBinary);
  if (files.source == pf::kNoFile) return Discard(files, GZARC_STATUS_FILE_ERROR);
  // The archive is as private as its source (on systems with such bits).
  pf::CopyPermissions(files.source, files.archive);

  char shownName[kWorkPathSize + 1] = "\\";
  std::memcpy(shownName + 1, storedName, std::strlen(storedName) + 1);
  CallFileNameProc(sourcePath, shownName);

  SourceReader reader;
  reader.file = files.source;
  reader.size = pf::FileLength(files.source);
  if (reader.size < 0) return Discard(files, GZARC_STATUS_FILE_ERROR);

  const auto modificationTime = static_cast<uint32_t>(status.modificationTime);
  if (!WriteHeader(files.archive, modificationTime, storedName)) {
    return Discard(files, GZARC_STATUS_WRITE_SHORT);
  }

  CompressFile(reader, files.archive);
  if (!StatusOk()) return Discard(files, GZARC_STATUS_OK);

  if (!WriteTrailer(files.archive, reader)) return Discard(files, GZARC_STATUS_WRITE_SHORT);

  // A close that fails may have lost buffered data: the archive is not kept.
  const int closed = pf::CloseFile(files.archive);
  files.archive = pf::kNoFile;
  if (closed != 0) return Discard(files, GZARC_STATUS_WRITE_SHORT);
  pf::CloseFile(files.source);
  files.source = pf::kNoFile;
  pf::SetFileTimes(e.ArchivePath, status.modificationTime, status.modificationTime);
}

}  // namespace

uint16_t CompressMemory(std::span<const uint8_t> input, std::vector<uint8_t>* output, uint32_t* crc,
                        MatchVariant variant) {
  MemorySource source{input};
  const CompressOutcome outcome =
      CompressStream(Compressor(), {ReadMemory, &source}, {WriteMemory, output}, variant);
  if (crc != nullptr) *crc = ~source.crc;
  return StatusOf(outcome);
}

}  // namespace gzarc::deflate

using namespace gzarc;

extern "C" {

GZARC_API void GZARC_CALL CompressFileMaskListArc(const FileMaskList* list) {
  SetStatus(GZARC_STATUS_OK);
  const uint32_t entries = deflate::CountEntries(list);
  if (entries != 1) {
    SetStatus(entries == 0 ? GZARC_STATUS_NOTHING : GZARC_STATUS_MANY_FILES);
    deflate::RemoveNewArchive();
    return;
  }
  if (Engine().ArchiveIsNew == 0) {
    SetStatus(GZARC_STATUS_NOT_NEW);
    return;
  }
  deflate::CompressEntry(list->head);
}

}  // extern "C"
