// The front end: the command line, the run over the image and the exit status.
#include "app/tool.h"

#include <new>
#include <string_view>

#include "app/messages.h"
#include "app/report.h"
#include "ecma167/dstring.h"
#include "image/console.h"
#include "image/platform.h"
#include "udf/commit.h"
#include "udf/plan.h"
#include "udf/scan.h"

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
    "\tvolquill [ISO File] [Volume Label]\n",
    "\tvolquill --label [Volume Label] [ISO File]\n",
    "\tvolquill -l [ISO File]...\n\n",
    "Example:\n",
    "\t# change volume label of d:\\bd.iso to 'The Monkey'\n",
    "\tvolquill d:\\bd.iso \"The Monkey\"\n\n",
    "\t# print the volume label of d:\\bd.iso\n",
    "\tvolquill d:\\bd.iso\n\n",
    "\t# print the volume labels of d:\\bd.iso and d:\\dvd.iso\n",
    "\tvolquill -l d:\\bd.iso d:\\dvd.iso\n",
};

// Follows the usage text in --help.
constexpr const char* kOptionList[] = {
    "\nOptions (before the ISO File):\n",
    "\t-h, --help     print this text and exit (also /? on Windows)\n",
    "\t-V, --version  print the version line and exit\n",
    "\t-n, --dry-run  list the blocks a relabel would rewrite, writing nothing\n",
    "\t-f, --force    when a copy is damaged or unreadable, still rewrite the\n",
    "\t               copies that verify (and exit 1)\n",
    "\t-v, --verbose  list the blocks as they are rewritten; on a query, show\n",
    "\t               the UDF revision, block size, partitions, UUID and every\n",
    "\t               copy of the label\n",
    "\t-l, --list     every argument is an ISO File: show the label of each\n",
    "\t--label LABEL  set this label, whatever it looks like\n",
    "\t-u, --uuid UUID  set the UUID (16 hexadecimal digits, or random)\n",
    "\t--json         print each query as one line of JSON\n",
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
  bool force = false;
  bool verbose = false;
  bool json = false;
  bool list = false;
  const char* uuid = nullptr;  // the value of -u / --uuid ("" when it has none)
  const char* label = nullptr;  // the value of --label
  const char* unknown = nullptr;
  int first_operand = 1;
};

// Sets the flag of the single-letter option `letter`; false when unknown.
bool set_short_option(Options* options, char letter) {
  switch (letter) {
    case 'h': options->help = true; return true;
    case 'V': options->version = true; return true;
    case 'n': options->dry_run = true; return true;
    case 'f': options->force = true; return true;
    case 'v': options->verbose = true; return true;
    case 'l': options->list = true; return true;
    default: return false;
  }
}

// Reads the options up to the first argument that does not begin with '-'
// ("-" alone is a path), or up to and past "--". Stops at an unknown option.
// -u takes the rest of its argument or, when that is empty, the next one;
// --uuid the text after '=' or the next argument, and so does --label.
Options parse_options(int argc, char** argv) {
  Options options;
  int i = 1;
  // The UUID written into this argument (`rest`), else the next argument.
  const auto take_uuid = [&](const char* rest) {
    if (*rest != 0) {
      options.uuid = rest;
    } else if (i + 1 < argc) {
      options.uuid = argv[++i];
    } else if (options.uuid == nullptr) {
      options.uuid = "";
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
      } else if (arg == "--force") {
        options.force = true;
      } else if (arg == "--verbose") {
        options.verbose = true;
      } else if (arg == "--json") {
        options.json = true;
      } else if (arg == "--list") {
        options.list = true;
      } else if (arg == "--label") {
        if (i + 1 < argc) options.label = argv[++i];
      } else if (arg.starts_with("--label=")) {
        options.label = argv[i] + 8;
      } else if (arg == "--uuid") {
        take_uuid("");
      } else if (arg.starts_with("--uuid=")) {
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

// Prints the listing lines of `group` in plan order (when `listing`); under a
// commit, the failed write's message after the first line that names its
// block, and nothing after it. Returns false when the commit's failed write
// was in this group.
bool print_group(const Plan& plan, const CommitResult* commit, WriteGroup group, bool listing) {
  for (const PlanLine& line : plan.lines) {
    if (line.group != group) continue;
    if (listing) print_line(listing_line(line));
    if (commit != nullptr && commit->failure && commit->failure->write == line.write) {
      print_line(write_failure_message(plan.writes[line.write].block, commit->failure->outcome));
      return false;
    }
  }
  return true;
}

// Opens the image read-only and scans it; the image is closed again on return.
// What the query shows is in `scan`, or why not in the returned message.
std::optional<std::string> scan_for_query(const char* path, ScanResult* scan) {
  ImageContext image;
  if (!open_image_file(&image, path, false)) return open_failure_message(path, false);
  *scan = scan_volume(&image);
  // A failed read may have hidden the volume or any part of it.
  if (scan->read_error) return read_failure_message(path);
  if (!scan->volume) return scan_failure_message(scan->failure, path);
  return std::nullopt;
}

// The query of one image: the label line, then with -v the report; with
// --json the record. A failure's line goes out as any message does, or in a
// list (`listed`) as the label lines do, so that on Windows the whole list is
// UTF-16 text. False when the image was not shown.
bool show_image(const char* path, const Options& options, bool listed) {
  ScanResult scan;
  const std::optional<std::string> failure = scan_for_query(path, &scan);
  if (options.json) {
    write_utf8_out(failure ? error_json(path, *failure) : volume_json(path, *scan.volume));
  } else if (failure && listed) {
    wprint_out(L"%S\n", failure->c_str());
  } else if (failure) {
    print_line(*failure);
  } else {
    wprint_out(L"Volume label of %S: %S\n", path, volume_label(*scan.volume).c_str());
    if (options.verbose) print_volume_report(*scan.volume);
  }
  return !failure;
}

// How many images after the one being scanned have their reads started.
constexpr int kPrefetchedImages = 8;

// -l and --json: each image in turn, its stream and buffers released before
// the next is opened. Running out of memory ends one image, not the list:
// while the list runs, the runtime throws std::bad_alloc instead of calling
// main's handler, and the one catch of the tool is here, around one image,
// whose memory is free again by the time it is caught. Returns 0 when every
// image was shown, 1 when any was not.
int run_list(char* const* paths, int count, const Options& options) {
  const std::new_handler handler = std::set_new_handler(nullptr);
  int status = 0;
  // The reads of the next few images are under way while one is scanned,
  // so that an uncached list does not wait for each image's reads in turn.
  int prefetched = 0;
  for (int i = 0; i < count; ++i) {
    for (; prefetched < count && prefetched <= i + kPrefetchedImages; ++prefetched) prefetch_scan(paths[prefetched]);
    bool shown = false;
    bool out_of_memory = false;
    try {
      shown = show_image(paths[i], options, true);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
    if (out_of_memory) {
      // The record or line of an image that ran out, as a query prints it;
      // when even that cannot be made, the run ends as a query would.
      std::set_new_handler(handler);
      if (options.json) {
        write_utf8_out(error_json(paths[i], out_of_memory_message()));
      } else {
        wprint_out(L"%S\n", out_of_memory_message());
      }
      std::set_new_handler(nullptr);
    }
    if (!shown) status = 1;
  }
  std::set_new_handler(handler);
  return status;
}

// Without -l or --json: refuses operands that would relabel an image by
// accident, printing why. A second operand is the label, unless --label gave
// it; it may not name an existing file.
bool operands_are_one_image(char* const* operands, int count, const Options& options) {
  if (count > 2 || (count > 1 && options.label != nullptr)) {
    print_line(too_many_arguments_message());
    return false;
  }
  if (count == 2 && path_exists(operands[1])) {
    print_line(label_names_file_message(operands[1]));
    return false;
  }
  return true;
}

// A relabel, or with -n a dry run: scan, plan, and for a relabel commit. A
// plan that is not complete writes nothing, unless forced: then every copy
// that verifies is written, and the run still fails.
int run_change(const char* path, const Change& change, const Options& options) {
  const bool writing = !options.dry_run;
  ImageContext image;
  OpenRefusal refusal;
  if (!open_image_file(&image, path, writing, &refusal)) {
    print_line(open_failure_message(path, true, refusal));
    return 1;
  }
  const ScanResult scan = scan_volume(&image);
  if (!scan.volume) {
    print_line(scan.read_error ? read_failure_message(path) : scan_failure_message(scan.failure, path));
    return 1;
  }
  const Plan plan = plan_relabel(*scan.volume, change);
  for (const Problem& problem : plan.problems) print_line(problem_message(problem, path));
  const bool complete = plan_complete(plan);
  if (!complete && !options.force) {
    print_line(kNothingWritten);
    return 1;
  }
  if (!writing) {
    print_group(plan, nullptr, WriteGroup::First, true);
    print_group(plan, nullptr, WriteGroup::Second, true);
    return complete ? 0 : 1;
  }
  const CommitResult commit = commit_plan(&image, plan);
  for (WriteGroup group : {WriteGroup::First, WriteGroup::Second}) {
    const bool written = print_group(plan, &commit, group, options.verbose);
    if (commit.failed_sync == group) print_line(sync_failure_message(path));
    if (!written || commit.failed_sync == group) return 1;
  }
  if (!complete) return 1;
  print_line(kDone);
  return 0;
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
  char* const* operand = argv + options.first_operand;
  // -l and --json show images: every operand is one, and nothing changes. A
  // single image with --json is the plain query's record. -l with a label or
  // UUID is a usage error: the usage text shows its form.
  if ((options.json || options.list) && (options.label != nullptr || options.uuid != nullptr)) {
    if (options.json) {
      print_line("--json shows a volume and changes nothing");
    } else {
      print_usage();
    }
    return 1;
  }
  if (options.list || (options.json && operands > 1)) return run_list(operand, operands, options);
  if (!operands_are_one_image(operand, operands, options)) return 1;
  const char* path = operand[0];
  const char* label = options.label != nullptr ? options.label : operands > 1 ? operand[1] : nullptr;
  const bool changes = label != nullptr || options.uuid != nullptr;

  Change change;
  if (label != nullptr) {
    change.label = encode_label(label);
    if (!change.label) {
      print_out("Label is not valid UTF-8\n");
      return 1;
    }
  }
  if (options.uuid != nullptr) {
    change.uuid = parse_uuid(options.uuid);
    if (!change.uuid) {
      print_out("Invalid UUID: %s (16 hexadecimal digits or random)\n", options.uuid);
      return 1;
    }
  }
  // Without a label or UUID a dry run is a plain query.
  if (!changes) return show_image(path, options, false) ? 0 : 1;
  // A dry run changes nothing: its listing says what a relabel would do.
  if (!options.dry_run) {
    if (label != nullptr) print_out("Changing %s volume label to '%s'\n", path, label);
    if (change.uuid) {
      print_out("Changing %s UUID to '%.*s'\n", path, static_cast<int>(change.uuid->size()), change.uuid->data());
    }
  }
  return run_change(path, change, options);
}
