// The compression driver.
#include "deflate/compression.h"

#include <array>
#include <cstring>

#include "deflate/match_finder.h"
#include "deflate/trees.h"
#include "engine/callbacks.h"
#include "engine/engine_state.h"
#include "gzip/crc32.h"
#include "gzip/member_format.h"
#include "paths/strings.h"
#include "platform/platform.h"

namespace gzarc::deflate {

namespace pf = platform;

CompressorState& Compressor() {
  static CompressorState state;
  return state;
}

namespace {

inline constexpr std::size_t kWorkPathSize = 261;  // 260 characters

template <typename T>
bool Obtain(T** buffer, uint32_t size, bool clear) {
  if (!AllocBlock(buffer, size)) {
    SetStatus(GZARC_STATUS_NO_MEMORY);
    return false;
  }
  if (clear) std::memset(*buffer, 0, size);
  return true;
}

int32_t ReadSourceFile(void*, uint8_t* destination, uint32_t count) {
  return pf::ReadFile(Compressor().SourceFile, destination, count);
}

int32_t WriteArchiveFile(void*, const uint8_t* source, uint32_t count) {
  return pf::WriteFile(Compressor().ArchiveOutFile, source, count);
}

struct MemorySource {
  std::span<const uint8_t> input;
  std::size_t position;
  std::vector<uint8_t>* output;
};

int32_t ReadMemory(void* context, uint8_t* destination, uint32_t count) {
  auto* m = static_cast<MemorySource*>(context);
  const std::size_t left = m->input.size() - m->position;
  const std::size_t n = left < count ? left : count;
  if (n != 0) std::memcpy(destination, m->input.data() + m->position, n);
  m->position += n;
  return static_cast<int32_t>(n);
}

int32_t WriteMemory(void* context, const uint8_t* source, uint32_t count) {
  auto* m = static_cast<MemorySource*>(context);
  m->output->insert(m->output->end(), source, source + count);
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

bool WriteAll(int fd, const void* data, uint32_t count) {
  return pf::WriteFile(fd, data, count) == static_cast<int32_t>(count);
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

// Closes whatever is open and removes the partial archive.
void Discard(uint16_t status) {
  CompressorState& c = Compressor();
  if (status != GZARC_STATUS_OK) SetStatus(status);
  if (c.ArchiveOutFile != pf::kNoFile) pf::CloseFile(c.ArchiveOutFile);
  if (c.SourceFile != pf::kNoFile) pf::CloseFile(c.SourceFile);
  c.ArchiveOutFile = c.SourceFile = pf::kNoFile;
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
bool WriteMemberHeader(uint32_t modificationTime, const char* storedName) {
  std::array<uint8_t, kFixedHeaderSize + kWorkPathSize> header;
  const std::size_t size = BuildMemberHeader(modificationTime, storedName, header);
  const int fd = Compressor().ArchiveOutFile;
  return size != 0 && WriteAll(fd, header.data(), kFixedHeaderSize) &&
         WriteAll(fd, header.data() + kFixedHeaderSize,
                  static_cast<uint32_t>(size - kFixedHeaderSize));
}

// The CRC-32 and the size go out as two writes.
bool WriteTrailer() {
  const CompressorState& c = Compressor();
  const auto trailer = BuildMemberTrailer(~c.Crc, static_cast<uint64_t>(c.SourceSize));
  return WriteAll(c.ArchiveOutFile, trailer.data(), 4) &&
         WriteAll(c.ArchiveOutFile, trailer.data() + 4, 4);
}

void CompressEntry(const FileMaskEntry* entry) {
  CompressorState& c = Compressor();
  EngineState& e = Engine();

  c.ArchiveOutFile = pf::OpenFile(
      e.ArchivePath, pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenTruncate | pf::kOpenBinary,
      pf::kPermissionRead | pf::kPermissionWrite);
  if (c.ArchiveOutFile == pf::kNoFile) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    // The empty file CreateArcFile made for this compression goes too.
    RemoveNewArchive();
    return;
  }

  char sourcePath[kWorkPathSize] = {};
  bool fits = AppendPath(sourcePath, e.InputPath) &&
              AppendPath(sourcePath, entry->folder != nullptr ? entry->folder : "");
  if (entry->name[0] == '\0') return Discard(GZARC_STATUS_NOTHING);
  fits = fits && AppendPath(sourcePath, entry->name);
  if (entry->extension[0] != '\0') {
    fits = fits && AppendPath(sourcePath, ".") && AppendPath(sourcePath, entry->extension);
  }
  // A path too long to be spelt cannot be found.
  char storedName[kWorkPathSize] = {};
  if (!fits || !BuildStoredName(entry, storedName, sizeof storedName)) {
    return Discard(GZARC_STATUS_FILE_ERROR);
  }

  pf::FileStatus status{};
  if (!pf::StatFile(sourcePath, &status)) return Discard(GZARC_STATUS_FILE_ERROR);
  const uint32_t attributes = pf::GetFileAttributesA(sourcePath);
  if (attributes != pf::kInvalidAttributes && (attributes & pf::kAttributeDirectory) != 0) {
    return Discard(GZARC_STATUS_IS_DIRECTORY);
  }
  c.SourceFile = pf::OpenFile(sourcePath, pf::kOpenReadOnly | pf::kOpenBinary);
  if (c.SourceFile == pf::kNoFile) return Discard(GZARC_STATUS_FILE_ERROR);

  char shownName[kWorkPathSize + 1] = "\\";
  std::memcpy(shownName + 1, storedName, std::strlen(storedName) + 1);
  CallFileNameProc(sourcePath, shownName);

  const int64_t length = pf::FileLength(c.SourceFile);
  if (length < 0) return Discard(GZARC_STATUS_FILE_ERROR);
  c.SourceSize = length;

  const uint32_t modificationTime = static_cast<uint32_t>(status.modificationTime);
  if (!WriteMemberHeader(modificationTime, storedName)) return Discard(GZARC_STATUS_WRITE_SHORT);

  CompressFile();
  if (!StatusOk()) return Discard(GZARC_STATUS_OK);

  if (!WriteTrailer()) return Discard(GZARC_STATUS_WRITE_SHORT);

  // A close that fails may have lost buffered data: the archive is not kept.
  const int closed = pf::CloseFile(c.ArchiveOutFile);
  c.ArchiveOutFile = pf::kNoFile;
  if (closed != 0) return Discard(GZARC_STATUS_WRITE_SHORT);
  pf::CloseFile(c.SourceFile);
  c.SourceFile = pf::kNoFile;
  pf::SetFileTimes(e.ArchivePath, status.modificationTime, status.modificationTime);
}

}  // namespace

void AllocCompressBuffers() {
  CompressorState& c = Compressor();
  c.OutputBuffer = nullptr;
  c.DistanceBuffer = nullptr;
  c.LiteralBuffer = nullptr;
  c.FlagBuffer = nullptr;
  c.Heap = nullptr;
  c.LiteralTree = c.DistanceTree = c.FixedLiteralTree = c.FixedDistanceTree = nullptr;
  c.CodeLengthTree = nullptr;
  c.LengthBase = c.DistanceBase = nullptr;
  c.LengthCode = c.DistanceCode = nullptr;
  c.BitLengthCount = nullptr;
  c.NodeDepth = nullptr;

  constexpr uint32_t kNode = sizeof(TreeNode);
  (void)(Obtain(&c.OutputBuffer, kOutputBufferSize, false) &&
         Obtain(&c.DistanceBuffer, kSymbolBufferSize * 2, true) &&
         Obtain(&c.LiteralBuffer, kSymbolBufferSize, true) &&
         Obtain(&c.FlagBuffer, kFlagBufferSize, true) && Obtain(&c.Heap, kHeapSize * 2, true) &&
         Obtain(&c.LiteralTree, kLiteralTreeSize * kNode, true) &&
         Obtain(&c.DistanceTree, kDistanceTreeSize * kNode, true) &&
         Obtain(&c.FixedLiteralTree, (kFixedLiteralSymbols)*kNode, true) &&
         Obtain(&c.FixedDistanceTree, kDistanceSymbols * kNode, true) &&
         Obtain(&c.CodeLengthTree, kCodeLengthTreeSize * kNode, true) &&
         Obtain(&c.LengthBase, kLengthCodes * 2, true) &&
         Obtain(&c.DistanceBase, kDistanceSymbols * 2, true) && Obtain(&c.LengthCode, 256, true) &&
         Obtain(&c.DistanceCode, 512, true) &&
         Obtain(&c.BitLengthCount, (kMaxCodeBits + 1) * 2, true) &&
         Obtain(&c.NodeDepth, kHeapSize, true));
}

void FreeCompressBuffers() {
  CompressorState& c = Compressor();
  FreeBlock(&c.OutputBuffer);
  FreeBlock(&c.DistanceBuffer);
  FreeBlock(&c.LiteralBuffer);
  FreeBlock(&c.FlagBuffer);
  FreeBlock(&c.Heap);
  FreeBlock(&c.LiteralTree);
  FreeBlock(&c.DistanceTree);
  FreeBlock(&c.FixedLiteralTree);
  FreeBlock(&c.FixedDistanceTree);
  FreeBlock(&c.CodeLengthTree);
  FreeBlock(&c.LengthBase);
  FreeBlock(&c.DistanceBase);
  FreeBlock(&c.LengthCode);
  FreeBlock(&c.DistanceCode);
  FreeBlock(&c.BitLengthCount);
  FreeBlock(&c.NodeDepth);
}

void CompressStream(const CompressIo& io, int64_t sourceSize) {
  CompressorState& c = Compressor();
  c.io = io;
  c.SourceSize = sourceSize;
  c.Crc = kCrcStart;
  c.BitBuffer = 0;
  c.BitCount = 0;
  c.OutputCount = 0;
  AllocCompressBuffers();
  if (c.OutputBuffer != nullptr) std::memset(c.OutputBuffer, 0, kOutputBufferSize);
  c.TotalRead = 0;
  if (StatusOk()) InitTrees();
  if (StatusOk()) InitMatchFinder();
  if (StatusOk()) DeflateStream();
  FreeCompressBuffers();
}

void CompressFile() {
  CompressorState& c = Compressor();
  CompressStream(CompressIo{ReadSourceFile, WriteArchiveFile, nullptr}, c.SourceSize);
}

uint16_t CompressMemory(std::span<const uint8_t> input, std::vector<uint8_t>* output,
                        uint32_t* crc) {
  MemorySource source{input, 0, output};
  SetStatus(GZARC_STATUS_OK);
  CompressStream(CompressIo{ReadMemory, WriteMemory, &source}, static_cast<int64_t>(input.size()));
  if (crc != nullptr) *crc = ~Compressor().Crc;
  return Status();
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
