// The front end: the command line, the run over the image and the exit status.
#include "app/tool.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "app/messages.h"
#include "app/options.h"
#include "app/report.h"
#include "ecma167/dstring.h"
#include "image/console.h"
#include "image/platform.h"
#include "udf/commit.h"
#include "udf/layout.h"
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
  if (options.has(OptionId::Json)) {
    write_utf8_out(failure ? error_json(path, *failure) : volume_json(path, *scan.volume));
  } else if (failure && listed) {
    wprint_out(L"%S\n", failure->c_str());
  } else if (failure) {
    print_line(*failure);
  } else {
    wprint_out(L"Volume label of %S: %S\n", path, volume_label(*scan.volume).c_str());
    if (options.has(OptionId::Verbose)) print_volume_report(*scan.volume);
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
      if (options.has(OptionId::Json)) {
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
  if (count > 2 || (count > 1 && options.of(OptionId::Label) != nullptr)) {
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
  const bool writing = !options.has(OptionId::DryRun);
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
  if (!complete && !options.has(OptionId::Force)) {
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
    const bool written = print_group(plan, &commit, group, options.has(OptionId::Verbose));
    if (commit.failed_sync == group) print_line(sync_failure_message(path));
    if (!written || commit.failed_sync == group) return 1;
  }
  if (!complete) return 1;
  print_line(kDone);
  return 0;
}

// An Application or Implementation Identifier's identifier bytes: 1 to 23
// 7-bit characters, the first '*' as UDF's entity identifiers have it.
bool is_entity_identifier(std::string_view value) {
  return !value.empty() && value.size() <= regid::kIdentifierSize && value[0] == '*' &&
         std::all_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The checks of a change's values that need no image, in the order the
// options come; false, having said why, when one fails. Fills `change`.
bool read_change(const Options& options, const char* label, Change* change) {
  if (options.has(OptionId::FullVsid) && (options.has(OptionId::Uuid) || options.has(OptionId::Vsid))) {
    print_line(whole_volume_set_refusal());
    return false;
  }
  if (label != nullptr) {
    change->label = decode_dstring_text(label);
    if (!change->label) {
      print_out("Label is not valid UTF-8\n");
      return false;
    }
  }
  if (options.has(OptionId::Uuid)) {
    change->uuid = parse_uuid(options.of(OptionId::Uuid));
    if (!change->uuid) {
      print_out("Invalid UUID: %s (16 hexadecimal digits or random)\n", options.of(OptionId::Uuid));
      return false;
    }
  }
  for (const OptionEntry& option : option_table()) {
    const char* value = options.of(option.id);
    if (!option.field || value == nullptr) continue;
    const bool entity = option.id == OptionId::AppId || option.id == OptionId::ImpId;
    if (entity && !is_entity_identifier(value)) {
      print_line(invalid_entity_identifier_message(option.name, value));
      return false;
    }
    auto& field = change->fields[static_cast<size_t>(*option.field)];
    field = decode_dstring_text(value);
    if (!field) {
      print_out("Label is not valid UTF-8\n");
      return false;
    }
    if (option.id == OptionId::FullVsid) change->volume_set_part = VolumeSetPart::Whole;
  }
  if (options.has(OptionId::WriteProtect)) {
    change->write_protect = std::string_view(options.of(OptionId::WriteProtect)) == "on";
  }
  return true;
}

// --vsid without -u keeps the Volume Set Identifier's first 16 characters:
// every verified Primary Volume Descriptor must have them. Read before the
// image is opened for writing; an image that cannot be read here is left
// for the run to report.
bool volume_set_keeps_its_uuid(const char* path) {
  ImageContext image;
  if (!open_image_file(&image, path, false)) return true;
  const ScanResult scan = scan_volume(&image);
  if (!scan.volume) return true;
  for (const LabelCopy& copy : scan.volume->copies) {
    if (copy.kind == CopyKind::PrimaryVolume && copy.verified && volume_set_characters(copy) < kUuidCharacters) {
      return false;
    }
  }
  return true;
}

}  // namespace

int run_command_line(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  if (options.unknown != nullptr) {
    print_out("Unknown option: %s\n", options.unknown);
    print_usage();
    return 1;
  }
  if (options.has(OptionId::Help)) {
    print_usage();
    print_out("%s", option_help().c_str());
    return 0;
  }
  if (options.has(OptionId::Version)) {
    print_out("%s", kUsage[0]);
    return 0;
  }
  // A write protection other than on or off is a usage error, the image's
  // path taken for it among them: the usage text shows the form.
  const char* protect = options.of(OptionId::WriteProtect);
  if (protect != nullptr && std::string_view(protect) != "on" && std::string_view(protect) != "off") {
    print_usage();
    return 1;
  }
  const int operands = argc - options.first_operand;
  if (operands < 1) {
    print_usage();
    return 0;
  }
  char* const* operand = argv + options.first_operand;
  bool changes_given = options.of(OptionId::Label) != nullptr || options.has(OptionId::Uuid);
  for (const OptionEntry& option : option_table()) {
    const bool sets = option.field || option.id == OptionId::WriteProtect;
    changes_given = changes_given || (sets && options.of(option.id) != nullptr);
  }
  // -l and --json show images: every operand is one, and nothing changes;
  // -l with a change is a usage error. A single image with --json is the
  // plain query's record.
  if ((options.has(OptionId::Json) || options.has(OptionId::List)) && changes_given) {
    if (options.has(OptionId::Json)) {
      print_line("--json shows a volume and changes nothing");
    } else {
      print_usage();
    }
    return 1;
  }
  if (options.has(OptionId::List) || (options.has(OptionId::Json) && operands > 1)) {
    return run_list(operand, operands, options);
  }
  if (!operands_are_one_image(operand, operands, options)) return 1;
  const char* path = operand[0];
  const char* label = options.of(OptionId::Label) != nullptr ? options.of(OptionId::Label)
                      : operands > 1                         ? operand[1]
                                                             : nullptr;
  Change change;
  if (!read_change(options, label, &change)) return 1;
  // Without a change a dry run is a plain query.
  if (label == nullptr && !changes_given) return show_image(path, options, false) ? 0 : 1;
  if (options.has(OptionId::Vsid) && !change.uuid && !volume_set_keeps_its_uuid(path)) {
    print_line(short_volume_set_refusal());
    return 1;
  }
  // A dry run changes nothing: its listing says what a relabel would do.
  if (!options.has(OptionId::DryRun)) {
    if (label != nullptr) print_out("Changing %s volume label to '%s'\n", path, label);
    if (change.uuid) {
      print_out("Changing %s UUID to '%.*s'\n", path, static_cast<int>(change.uuid->size()), change.uuid->data());
    }
    for (const OptionEntry& option : option_table()) {
      if (!option.field || options.of(option.id) == nullptr) continue;
      const DstringText& value = *change.fields[static_cast<size_t>(*option.field)];
      const std::string text = value_as_written(*option.field, value, change.volume_set_part);
      print_line(changing_field_message(path, *option.field, text));
    }
    if (change.write_protect) print_line(changing_protection_message(path, *change.write_protect));
  }
  return run_change(path, change, options);
}
