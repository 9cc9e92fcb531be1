// The front end: the command line, the run over the image and the exit status.
#include "app/tool.h"

#include "image/console.h"
#include "image/context.h"
#include "udf/run.h"

namespace {

#if defined(__aarch64__) || defined(_M_ARM64)
#define VOLQUILL_PROCESSOR "arm64"
#elif defined(__x86_64__) || defined(_M_X64)
#define VOLQUILL_PROCESSOR "x64"
#elif defined(__i386__) || defined(_M_IX86)
#define VOLQUILL_PROCESSOR "x86"
#elif defined(__arm__) || defined(_M_ARM)
#define VOLQUILL_PROCESSOR "arm"
#elif defined(__riscv) && __riscv_xlen == 64
#define VOLQUILL_PROCESSOR "riscv64"
#elif defined(__powerpc64__)
#define VOLQUILL_PROCESSOR "ppc64"
#elif defined(__s390x__)
#define VOLQUILL_PROCESSOR "s390x"
#else
#define VOLQUILL_PROCESSOR "unknown"
#endif

constexpr const char* kUsage[] = {
    "volquill 1.0 (" VOLQUILL_PROCESSOR ")    Built on 2025-12-13\n",
    "Usage:\n",
    "\tvolquill [ISO File] [Volume Label]\n\n",
    "Example:\n",
    "\t# change volume label of d:\\bd.iso to 'The Monkey'\n",
    "\tvolquill d:\\bd.iso \"The Monkey\"\n\n",
    "\t# print the volume label of d:\\bd.iso\n",
    "\tvolquill d:\\bd.iso\n",
};

}  // namespace

int run_command_line(int argc, char** argv) {
  if (argc < 2) {
    for (const char* item : kUsage) print_out("%s", item);
    return 0;
  }
  const char* path = argv[1];
  const char* label = argc > 2 ? argv[2] : nullptr;

  RelabelContext ctx;
  init_context(&ctx);
  if (label != nullptr) {
    if (!set_new_label(&ctx, label)) {
      print_out("Label is not valid UTF-8\n");
      destroy_context(&ctx);
      return 1;
    }
    print_out("Changing %s volume label to '%s'\n", path, label);
  }

  const int status = run_relabel(&ctx, path) ? 0 : 1;
  if (status == 0 && label == nullptr) {
    wprint_out(L"Volume label of %S: %s\n", path, ctx.captured_label.data());
  }
  destroy_context(&ctx);
  return status;
}
