// Runs the built volquill binary the way a user or a script does and
// captures what it prints and its exit status.
#pragma once

#include <string>
#include <vector>

struct ToolResult {
  std::string out;  // everything on standard output
  std::string err;  // everything on standard error (the tool writes none)
  int status = -1;  // exit status, or -1 when it did not exit normally
};

struct ToolOptions {
  // When non-zero, RLIMIT_FSIZE for the run (with SIGXFSZ ignored), so that
  // writes beyond this many bytes fail.
  unsigned long long file_size_limit = 0;
};

// The binary is VOLQUILL_BINARY from the environment if set, else the one
// this test was built with; VOLQUILL_RUNNER, if set, is a command prefix
// (an emulator) split at blanks.
ToolResult run_tool(const std::vector<std::string>& args, const ToolOptions& options = {});

// A fresh directory under TMPDIR, removed with its files when it goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};
