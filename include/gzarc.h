/*
 * gzarc: a GZIP archive engine that an archiver host loads and drives
 * through 41 plain C functions.
 *
 * Calling convention: on 32-bit Windows every export and every callback is
 * __cdecl (the caller removes the arguments); GZARC_CALL expands to that and
 * is empty elsewhere. Pointers are 32 bits wide on 32-bit targets and the
 * records below then have exactly the layouts a host expects; on 64-bit
 * targets the same declarations give 8-byte pointers and natural alignment.
 *
 * Results: AppendFileMask returns one byte (a 32-bit host reads AL) and
 * GetArchiveStatus/SetArchiveStatus return a 16-bit value (a host reads AX).
 * The outcome of every operation is the archive status (GZARC_STATUS_*),
 * read back with GetArchiveStatus.
 */
#ifndef GZARC_H
#define GZARC_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define GZARC_CALL __cdecl
#else
#define GZARC_CALL
#endif

#if defined(GZARC_BUILDING_ENGINE)
#if defined(_WIN32)
#define GZARC_API __declspec(dllexport)
#else
#define GZARC_API __attribute__((visibility("default")))
#endif
#else
#define GZARC_API
#endif

/* Exports that ignore their arguments may be called with any number of
 * them; cdecl makes that safe. C++ declares them with an ellipsis. C
 * declares them with (void), which means the same in every C standard (an
 * empty list means "no arguments" from C23 on and "unspecified" before): a C
 * host that passes arguments anyway does so through its own pointer type. */
#ifdef __cplusplus
#define GZARC_ANY_ARGS ...
extern "C" {
#else
#define GZARC_ANY_ARGS void
#endif

/* Archive status codes. */
enum {
  GZARC_STATUS_OK = 0,
  GZARC_STATUS_FILE_ERROR = 5,        /* open, read, examine or write failed */
  GZARC_STATUS_NO_MEMORY = 8,
  GZARC_STATUS_WRITE_SHORT = 101,     /* a write stored fewer bytes than asked */
  GZARC_STATUS_CANCELLED = 2926,      /* the host cancelled */
  GZARC_STATUS_NOT_NEW = 9901,        /* compression into an archive not just created */
  GZARC_STATUS_NO_MATCH = 9906,       /* the member does not match the masks */
  GZARC_STATUS_MANY_FILES = 9907,     /* more than one file to compress */
  GZARC_STATUS_IS_DIRECTORY = 9908,   /* the file to compress is a directory */
  GZARC_STATUS_TEXT_FLAG = 9960,      /* the member header's flag bit 0 is set */
  GZARC_STATUS_EXISTS = 9963,         /* CreateArcFile: the file exists */
  GZARC_STATUS_BAD_DATA = 9964,       /* invalid compressed data */
  GZARC_STATUS_NOTHING = 9967,        /* nothing to compress */
  GZARC_STATUS_NOT_GZIP = 9973,       /* InitArcFile: not a gzip/deflate file */
  GZARC_STATUS_UNSUPPORTED = 32770    /* operation not supported (0x8002) */
};

/* Windows FILETIME: 100-ns intervals since 1601-01-01. */
typedef struct FindFileTime {
  uint32_t low;
  uint32_t high;
} FindFileTime;

/* The Windows WIN32_FIND_DATAA layout (320 bytes), as the replace callback
 * receives it. */
typedef struct FindData {
  uint32_t attributes;
  FindFileTime creationTime;
  FindFileTime lastAccessTime;
  FindFileTime lastWriteTime;
  uint32_t sizeHigh;
  uint32_t sizeLow;
  uint32_t reserved0;
  uint32_t reserved1;
  char fileName[260];
  char alternateFileName[14];
} FindData;

/* One file mask, split into folder, base name and extension. */
typedef struct FileMaskEntry {
  char* folder; /* drive and folder with trailing separator, or "" */
  char name[256];
  char extension[256]; /* without the dot; all zero when absent */
  struct FileMaskEntry* next;
} FileMaskEntry;

typedef struct FileMaskList {
  FileMaskEntry* head;
  FileMaskEntry* tail;
} FileMaskList;

/* One member in the host's archive list. Every byte not named is 0. */
typedef struct ArcEntry {
  struct ArcEntry* next;
  char name[276];
  int64_t packedSize;
  int64_t unpackedSize;
  uint32_t dosDateTime; /* DOS time in the low 16 bits, DOS date in the high */
  uint32_t attributes;
  /* Words from offset 304 (32-bit layout): [0] = 12, [4..6] = 0, [7] = 1,
   * [34] = 19; the rest 0. Their meaning belongs to the host. */
  uint32_t hostWords[46];
} ArcEntry;

typedef struct ArcEntryList {
  int32_t count;
  ArcEntry* head;
  ArcEntry* tail;
} ArcEntryList;

/* Archive information record (384 bytes), fetched with GetExtraInfoArc. */
typedef struct ArcExtraInfo {
  uint32_t fixed[4]; /* 9, 1, 2, 32 */
  uint32_t unused16[3];
  uint32_t zero28;
  uint32_t hostSystemCode;
  uint32_t count;
  int64_t totalPackedSize;
  int64_t totalUnpackedSize;
  uint32_t ratio; /* percent */
  uint8_t unused60[324];
} ArcExtraInfo;

/* Two 32-bit words cleared by GetMainCommentArc (no main comment). */
typedef struct MainComment {
  uint32_t word0;
  uint32_t word1;
} MainComment;

/* The extra-features records arrive as plain bytes: these are the offsets of
 * the fields the engine reads. Text fields are zero-terminated. */
enum {
  /* SetCompExtraFeatures reads GZARC_COMP_RECORD_SIZE bytes. */
  GZARC_COMP_RECORD_SIZE = 3532,
  GZARC_COMP_FEATURE_TEXT = 624,  /* kept by the engine, not acted on */
  GZARC_COMP_RELATIVE_PATH = 896, /* as SetRelativePath; empty: unchanged */
  GZARC_COMP_INPUT_PATH = 1168,   /* as SetInputPath; empty: unchanged */
  GZARC_COMP_VALUE_A = 3524,      /* two 32-bit words, kept, not acted on */
  GZARC_COMP_VALUE_B = 3528,
  /* SetDecompExtraFeatures copies GZARC_DECOMP_RECORD_SIZE bytes. */
  GZARC_DECOMP_RECORD_SIZE = 1420,
  GZARC_DECOMP_RELATIVE_PATH = 832, /* as SetRelativePath; empty: unchanged */
  GZARC_DECOMP_EXTRACT_DIR = 1104   /* the target folder, to the record's end */
};

/* The replace callback's answers. */
enum {
  GZARC_REPLACE_EXTRACT = 0, /* extract over the file, read-only or not */
  GZARC_REPLACE_SKIP = 1,    /* keep the file, go on with the next member */
  GZARC_REPLACE_CANCEL = 2,  /* keep the file, end with GZARC_STATUS_CANCELLED */
  /* This and every other value: extract, leaving the file's attributes as
   * they are, so that a read-only file refuses the write. */
  GZARC_REPLACE_KEEP_ATTRIBUTES = 3
};

/* The signal callback's code: a member's data are about to be extracted,
 * the size being its unpacked size. */
enum { GZARC_SIGNAL_EXTRACTING = 2 };

/* Host callbacks. The context registered with the setter comes back as the
 * first argument of every call. */
typedef int32_t(GZARC_CALL* FileNameProc)(void* context, const char* from, const char* to);
/* Return 0 to cancel the running operation. */
typedef int32_t(GZARC_CALL* ProgressProc)(void* context, int32_t percent, int32_t count);
/* Returns one of GZARC_REPLACE_*. */
typedef int32_t(GZARC_CALL* OkToReplaceProc)(void* context, const FindData* existing,
                                             const FindData* member);
typedef void(GZARC_CALL* SignalProc)(void* context, int64_t size, int32_t code);
/* Stored and never called. */
typedef void(GZARC_CALL* OpaqueProc)(void);

/* Engine state, settings and information. */
GZARC_API uint16_t GZARC_CALL GetArchiveStatus(void);
GZARC_API uint16_t GZARC_CALL SetArchiveStatus(uint32_t status);
GZARC_API void GZARC_CALL SetRelativePath(const char* path);
GZARC_API void GZARC_CALL SetInputPath(const char* path);
GZARC_API void GZARC_CALL SetPackLevel(int32_t level);
GZARC_API void GZARC_CALL SetCompExtraFeatures(const void* record);   /* GZARC_COMP_* */
GZARC_API void GZARC_CALL SetDecompExtraFeatures(const void* record); /* GZARC_DECOMP_* */
GZARC_API void GZARC_CALL GetExtraInfoArc(ArcExtraInfo* buffer);
GZARC_API MainComment* GZARC_CALL GetMainCommentArc(MainComment* record);

/* Callback setters. */
GZARC_API void GZARC_CALL SetSetFileNameProc(void* context, FileNameProc proc);
GZARC_API void GZARC_CALL SetSetProgressProc(void* context, ProgressProc proc);
GZARC_API void GZARC_CALL SetOkToReplaceProc(void* context, OkToReplaceProc proc);
GZARC_API void GZARC_CALL SetSetSignalProc(void* context, SignalProc proc);
GZARC_API void GZARC_CALL SetSetWarningProc(void* context, OpaqueProc proc);
GZARC_API void GZARC_CALL SetSkipFileProc(void* context, OpaqueProc proc);
GZARC_API void GZARC_CALL SetGetNextDiskProc(void* context, OpaqueProc proc);
GZARC_API void GZARC_CALL SetSetSfxProgressProc(void* context, OpaqueProc proc);

/* The current archive. */
GZARC_API void GZARC_CALL InitArcFile(const char* name);
GZARC_API void GZARC_CALL InitZipFile(const char* name);
GZARC_API void GZARC_CALL CreateArcFile(const char* name);
GZARC_API void GZARC_CALL DoneArcFile(void* ignored);

/* File mask lists. */
GZARC_API FileMaskList* GZARC_CALL InitFileMaskList(FileMaskList* list);
GZARC_API uint8_t GZARC_CALL AppendFileMask(const char* mask, FileMaskList* list);
GZARC_API void GZARC_CALL DoneFileMaskList(FileMaskList* list);

/* Listing. */
GZARC_API void GZARC_CALL InitArcFileList(ArcEntryList* list);
GZARC_API void GZARC_CALL BuildArcFileList(ArcEntryList* list, const FileMaskList* masks);
GZARC_API void GZARC_CALL DoneArcFileList(ArcEntryList* list);

/* Operations. */
GZARC_API void GZARC_CALL CompressFileMaskListArc(const FileMaskList* masks);
GZARC_API void GZARC_CALL ExtractFileMaskListArc(const FileMaskList* masks);
GZARC_API void GZARC_CALL DeleteFileMaskListArc(const FileMaskList* masks);

/* Not supported: each sets GZARC_STATUS_UNSUPPORTED and changes nothing else. */
GZARC_API void GZARC_CALL TestArc(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL AddDamageGuardArc(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL BuildUnDamagedArc(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL CreateArcSfx2(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL CreateDirectoryArc(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL CreateExeArc(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL SetFileCommentsArc(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL SetMainCommentArc(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL StripDamageGuardArc(GZARC_ANY_ARGS);

/* No effect at all, not even on the status. */
GZARC_API void GZARC_CALL SetCryptKey(GZARC_ANY_ARGS);
GZARC_API void GZARC_CALL SetSetCryptKeyProc(GZARC_ANY_ARGS);

#ifdef __cplusplus
}
#endif

#endif /* GZARC_H */
