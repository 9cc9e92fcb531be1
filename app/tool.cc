// The front end: the command line, the run over the image and the exit status.
#include "app/tool.h"

#include <string_view>

#include "image/console.h"
#include "image/label.h"
#include "udf/run.h"
#include "udf/state.h"

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

// Follows the usage text in --help.
constexpr const char* kOptionList[] = {
    "\nOptions (before the ISO File):\n",
    "\t-h, --help     print this text and exit (also /? on Windows)\n",
    "\t-V, --version  print the version line and exit\n",
    "\t-n, --dry-run  list the blocks a relabel would rewrite, writing nothing\n",
    "\t-v, --verbose  list the blocks as they are rewritten\n",
    "\t--             end of options, for an ISO File that begins with '-'\n",
    "\tShort options combine: -nv is -n -v.\n",
};

// What the options before the image path ask for. `unknown` is the first
// argument that looks like an option but is none; `first_operand` is the
// index of the image path (argc when there is none).
struct Options {
  bool help = false;
  bool version = false;
  bool dry_run = false;
  bool verbose = false;
  const char* unknown = nullptr;
  int first_operand = 1;
};

// Sets the flag of the single-letter option `letter`; false when unknown.
bool set_short_option(Options* options, char letter) {
  switch (letter) {
    case 'h': options->help = true; return true;
    case 'V': options->version = true; return true;
    case 'n': options->dry_run = true; return true;
    case 'v': options->verbose = true; return true;
    default: return false;
  }
}

// Reads the options up to the first argument that does not begin with '-'
// ("-" alone is a path), or up to and past "--". Stops at an unknown option.
Options parse_options(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && options.unknown == nullptr; ++i) {
    const std::string_view arg = argv[i];
#ifdef _WIN32
    if (arg == "/?") {
      options.help = true;
      continue;
    }
#endif
    if (arg.size() < 2 || arg[0] != '-') break;
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg[1] == '-') {
      if (arg == "--help") {
        options.help = true;
      } else if (arg == "--version") {
        options.version = true;
      } else if (arg == "--dry-run") {
        options.dry_run = true;
      } else if (arg == "--verbose") {
        options.verbose = true;
      } else {
        options.unknown = argv[i];
      }
      continue;
    }
    for (char letter : arg.substr(1)) {
      if (!set_short_option(&options, letter)) {
        options.unknown = argv[i];
        break;
      }
    }
  }
  options.first_operand = i;
  return options;
}

void print_usage() {
  for (const char* item : kUsage) print_out("%s", item);
}

}  // namespace

int run_command_line(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  if (options.unknown != nullptr) {
    print_out("Unknown option: %s\n", options.unknown);
    print_usage();
    return 1;
  }
  if (options.help) {
    print_usage();
    for (const char* item : kOptionList) print_out("%s", item);
    return 0;
  }
  if (options.version) {
    print_out("%s", kUsage[0]);
    return 0;
  }
  const int operands = argc - options.first_operand;
  if (operands < 1) {
    print_usage();
    return 0;
  }
  const char* path = argv[options.first_operand];
  const char* label = operands > 1 ? argv[options.first_operand + 1] : nullptr;

  RelabelContext ctx;
  // Without a label a dry run is a plain query.
  if (label != nullptr) ctx.mode = options.dry_run ? RunMode::DryRun : RunMode::Relabel;
  ctx.verbose = options.verbose;
  if (label != nullptr) {
    ctx.new_label = encode_label(label);
    if (!ctx.new_label) {
      print_out("Label is not valid UTF-8\n");
      return 1;
    }
    // A dry run changes nothing: its listing says what a relabel would do.
    if (ctx.mode == RunMode::Relabel) print_out("Changing %s volume label to '%s'\n", path, label);
  }

  const int status = run_relabel(&ctx, path) ? 0 : 1;
  if (status == 0 && label == nullptr) {
    wprint_out(L"Volume label of %S: %s\n", path, ctx.captured_label.data());
  }
  return status;
}
