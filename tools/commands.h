// The four archive commands and the demo, each from parsed options to an
// exit code. Failures are thrown as CliError.
#pragma once

#include <string>
#include <vector>

#include "archive_ops.h"
#include "engine_loader.h"
#include "messages.h"

namespace gzarc_cli {

struct Options {
  std::string command;
  std::vector<std::string> operands;  // the archives; for create, the archive and the file
  std::vector<std::string> masks;     // -m, --mask
  std::string directory;              // -C
  std::string enginePath;             // --engine
  bool quiet = false;
  bool json = false;
  bool force = false;
  bool keep = false;
  ExistingPolicy existing = ExistingPolicy::kAsk;
};

ExitCode RunList(const EngineApi& api, const Options& options);
ExitCode RunExtract(const EngineApi& api, const Options& options);
ExitCode RunCreate(const EngineApi& api, const Options& options);
ExitCode RunDelete(const EngineApi& api, const Options& options);
ExitCode RunDemo(const EngineApi& api, const std::string& enginePath, const Options& options);

// A progress bar when standard error is a terminal and the user did not ask
// for quiet.
bool ShowProgress(const Options& options);
void ConfigureSession(HostSession& session, const Options& options);

}  // namespace gzarc_cli
