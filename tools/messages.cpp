#include "messages.h"

#include <cstdio>

#include "format.h"
#include "gzarc.h"

namespace gzarc_cli {

namespace {

int Severity(ExitCode code) {
  switch (code) {
    case ExitCode::kOk:
      return 0;
    case ExitCode::kNoMatch:
      return 1;
    case ExitCode::kExists:
      return 2;
    case ExitCode::kRefused:
      return 3;
    case ExitCode::kUsage:
      return 4;
    case ExitCode::kNotGzip:
      return 5;
    case ExitCode::kCorrupt:
      return 6;
    case ExitCode::kFileError:
      return 7;
    case ExitCode::kNoEngine:
      return 8;
    case ExitCode::kCancelled:
      return 9;
  }
  return 7;
}

}  // namespace

ExitCode Worse(ExitCode a, ExitCode b) {
  return Severity(b) > Severity(a) ? b : a;
}

std::string StatusText(uint16_t status) {
  switch (status) {
    case GZARC_STATUS_OK:
      return "ok";
    case GZARC_STATUS_FILE_ERROR:
      return "cannot open, read or write the file";
    case GZARC_STATUS_NO_MEMORY:
      return "out of memory";
    case GZARC_STATUS_WRITE_SHORT:
      return "write failed (disk full?)";
    case GZARC_STATUS_CANCELLED:
      return "cancelled";
    case GZARC_STATUS_NOT_NEW:
      return "the archive was not just created; nothing written";
    case GZARC_STATUS_NO_MATCH:
      return "no member matches";
    case GZARC_STATUS_MANY_FILES:
      return "holds one file; name exactly one";
    case GZARC_STATUS_IS_DIRECTORY:
      return "is a folder; an archive holds one file";
    case GZARC_STATUS_TEXT_FLAG:
      return "member is marked as text (FTEXT), which the engine does not support";
    case GZARC_STATUS_EXISTS:
      return "already exists";
    case GZARC_STATUS_BAD_DATA:
      return "data is corrupt (CRC or DEFLATE error)";
    case GZARC_STATUS_NOTHING:
      return "nothing to compress";
    case GZARC_STATUS_NOT_GZIP:
      return "not a gzip archive";
    case GZARC_STATUS_UNSUPPORTED:
      return "operation not supported by the engine";
    default:
      return "failed with engine status " + std::to_string(status);
  }
}

ExitCode ExitCodeForStatus(uint16_t status) {
  switch (status) {
    case GZARC_STATUS_OK:
      return ExitCode::kOk;
    case GZARC_STATUS_FILE_ERROR:
    case GZARC_STATUS_NO_MEMORY:
    case GZARC_STATUS_WRITE_SHORT:
      return ExitCode::kFileError;
    case GZARC_STATUS_CANCELLED:
      return ExitCode::kCancelled;
    case GZARC_STATUS_NO_MATCH:
      return ExitCode::kNoMatch;
    case GZARC_STATUS_NOT_NEW:
    case GZARC_STATUS_MANY_FILES:
    case GZARC_STATUS_IS_DIRECTORY:
    case GZARC_STATUS_NOTHING:
      return ExitCode::kRefused;
    case GZARC_STATUS_TEXT_FLAG:
    case GZARC_STATUS_NOT_GZIP:
    case GZARC_STATUS_UNSUPPORTED:
      return ExitCode::kNotGzip;
    case GZARC_STATUS_EXISTS:
      return ExitCode::kExists;
    case GZARC_STATUS_BAD_DATA:
      return ExitCode::kCorrupt;
    default:
      return ExitCode::kFileError;
  }
}

CliError StatusError(uint16_t status, const std::string& file) {
  // Only a failure comes here: an engine call that failed yet left status 0
  // must still end with a non-zero exit code.
  if (status == GZARC_STATUS_OK) {
    return CliError(ExitCode::kFileError, file + ": the engine failed without giving a reason");
  }
  return CliError(ExitCodeForStatus(status), file + ": " + StatusText(status));
}

void ReportError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "gzarc: %s\n", Printable(message).c_str());
}

}  // namespace gzarc_cli
