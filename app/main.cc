// volquill: shows or rewrites the volume label of a UDF file system held in a
// disc image.
//
//   volquill IMAGE          print the label (query mode)
//   volquill IMAGE LABEL    rewrite the label in place (relabel mode)
#include <cstdlib>
#include <new>

#include "app/messages.h"
#include "app/tool.h"
#include "image/console.h"
#include "image/platform.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "image/utf.h"
#endif

namespace {

[[noreturn]] void out_of_memory() {
  print_out("%s\n", out_of_memory_message());
  std::exit(1);
}

}  // namespace

#ifdef _WIN32

// The arguments come from the wide (UTF-16) command line, so that a label or
// path outside the ANSI code page arrives whole, and go on as UTF-8. MinGW
// links with -municode for this entry point.
int wmain(int argc, wchar_t** argv) {
  std::set_new_handler(out_of_memory);
  std::vector<std::string> arguments(static_cast<size_t>(argc));
  std::vector<char*> narrow;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::u16string units;
    for (const wchar_t* c = argv[i]; *c != 0; ++c) units += static_cast<char16_t>(*c);
    utf16_to_utf8(units, &arguments[i]);
    narrow.push_back(arguments[i].data());
  }
  narrow.push_back(nullptr);
  const int status = run_command_line(argc, narrow.data());
  return output_written() ? status : 1;
}

#else

int main(int argc, char** argv) {
  guard_standard_streams();
  std::set_new_handler(out_of_memory);
  const int status = run_command_line(argc, argv);
  return output_written() ? status : 1;
}

#endif
