// volquill: shows or rewrites the volume label of a UDF file system held in a
// disc image.
//
//   volquill IMAGE          print the label (query mode)
//   volquill IMAGE LABEL    rewrite the label in place (relabel mode)
#include <cstdlib>
#include <new>

#include "app/tool.h"
#include "image/console.h"

namespace {

[[noreturn]] void out_of_memory() {
  print_out("Out of memory\n");
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler(out_of_memory);
  return run_command_line(argc, argv);
}
