// Runs the built volquill binary the way a user or a script does and
// captures what it prints and its exit status.
#pragma once

#include <string>
#include <vector>

struct ToolResult {
  std::string out;      // everything on standard output, as UTF-8 with "\n" line ends
  std::string raw_out;  // the same bytes exactly as the tool wrote them
  std::string err;  // everything on standard error (the tool writes none)
  int status = -1;  // exit status, or -1 when it did not exit normally
};

struct ToolOptions {
  // When non-zero, RLIMIT_FSIZE for the run (with SIGXFSZ ignored), so that
  // writes beyond this many bytes fail.
  unsigned long long file_size_limit = 0;
  // Words run before the binary (and before VOLQUILL_RUNNER's): a tracer
  // that injects faults, a command that holds a lock, a shell that
  // redirects the binary's standard output.
  std::vector<std::string> prefix;
};

// The binary is VOLQUILL_BINARY from the environment if set, else the one
// this test was built with; VOLQUILL_RUNNER, if set, is a command prefix
// (an emulator) split at blanks.
//
// VOLQUILL_STDOUT=windows-1252 says that the binary is a Windows build whose
// ANSI code page is Windows-1252 (wine in a UTF-8 locale): its standard output
// is text mode, with "\r\n" line ends and narrow text in that code page, and
// the label line comes as UTF-16LE. `out` is then normalised to UTF-8 with
// "\n" line ends, so that the same expectations hold everywhere.
ToolResult run_tool(const std::vector<std::string>& args, const ToolOptions& options = {});

// The processor the binary's banner names: VOLQUILL_PROCESSOR from the
// environment when the binary is built for another processor than these
// tests (a cross build), else the one the tests are built for.
std::string expected_processor();

// True when the binary is a Windows build (VOLQUILL_STDOUT=windows-1252).
bool tool_is_windows_build();

// The UTF-8 `text` as the tool's narrow messages show it in `out`: unchanged
// on POSIX; from a Windows build (whose arguments come whole from the wide
// command line, but whose narrow output is in the ANSI code page) with '?'
// for each character Windows-1252 lacks.
std::string as_narrow_output(const std::string& text);

// The UTF-8 `text` as UTF-16 code units; empty when it is not UTF-8.
std::u16string utf16_of(const std::string& text);

// A fresh directory under TMPDIR, removed with its files when it goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};
