// The front end: the command line, the run over the image and the exit status.
#include "app/tool.h"

#include <string_view>

#include "app/report.h"
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
    "\t-v, --verbose  list the blocks as they are rewritten; on a query, show\n",
    "\t               the UDF revision, block size, partitions, UUID and every\n",
    "\t               copy of the label\n",
    "\t-u, --uuid UUID  set the UUID (16 hexadecimal digits, or random)\n",
    "\t--json         print the query as one line of JSON\n",
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
  bool json = false;
  bool uuid_given = false;
  const char* uuid = "";  // the value of -u / --uuid
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
// -u takes the rest of its argument or, when that is empty, the next one;
// --uuid the text after '=' or the next argument.
Options parse_options(int argc, char** argv) {
  Options options;
  int i = 1;
  // The UUID written into this argument (`rest`), else the next argument.
  const auto take_uuid = [&](const char* rest) {
    options.uuid_given = true;
    if (*rest != 0) {
      options.uuid = rest;
    } else if (i + 1 < argc) {
      options.uuid = argv[++i];
    }
  };
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
      } else if (arg == "--json") {
        options.json = true;
      } else if (arg == "--uuid") {
        take_uuid("");
      } else if (arg.starts_with("--uuid=")) {
        options.uuid_given = true;
        options.uuid = argv[i] + 7;
      } else {
        options.unknown = argv[i];
      }
      continue;
    }
    for (size_t k = 1; k < arg.size(); ++k) {
      if (arg[k] == 'u') {
        take_uuid(argv[i] + k + 1);
        break;
      }
      if (!set_short_option(&options, arg[k])) {
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
  const bool changes = label != nullptr || options.uuid_given;
  if (options.json && changes) {
    print_out("--json shows a volume and changes nothing\n");
    return 1;
  }

  RelabelContext ctx;
  // Without a label or UUID a dry run is a plain query.
  if (changes) ctx.mode = options.dry_run ? RunMode::DryRun : RunMode::Relabel;
  ctx.verbose = options.verbose;
  ctx.reporting = !changes && (options.verbose || options.json);
  if (label != nullptr) {
    ctx.new_label = encode_label(label);
    if (!ctx.new_label) {
      print_out("Label is not valid UTF-8\n");
      return 1;
    }
  }
  if (options.uuid_given) {
    ctx.new_uuid = parse_uuid(options.uuid);
    if (!ctx.new_uuid) {
      print_out("Invalid UUID: %s (16 hexadecimal digits or random)\n", options.uuid);
      return 1;
    }
  }
  // A dry run changes nothing: its listing says what a relabel would do.
  if (ctx.mode == RunMode::Relabel) {
    if (label != nullptr) print_out("Changing %s volume label to '%s'\n", path, label);
    if (ctx.new_uuid) {
      print_out("Changing %s UUID to '%.*s'\n", path, static_cast<int>(ctx.new_uuid->size()), ctx.new_uuid->data());
    }
  }

  if (options.json) {
    // The run's messages become the record's error.
    std::string messages;
    capture_output(&messages);
    const bool found = run_relabel(&ctx, path);
    capture_output(nullptr);
    if (!messages.empty() && messages.back() == '\n') messages.pop_back();
    write_utf8_out(found ? volume_json(path, ctx) : error_json(path, messages));
    return found ? 0 : 1;
  }
  const int status = run_relabel(&ctx, path) ? 0 : 1;
  if (status == 0 && !changes) {
    wprint_out(L"Volume label of %S: %s\n", path, ctx.captured_label.data());
    if (options.verbose) print_volume_report(ctx);
  }
  return status;
}
