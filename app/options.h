// The one table of command-line options: parsing, --help, and the checks
// that the bash completion and the manual page offer the same options all
// read it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "udf/descriptors.h"

enum class OptionId : uint8_t {
  Help,
  Version,
  DryRun,
  Force,
  Verbose,
  List,
  Label,
  Uuid,
  Json,
  Vid,
  Lvid,
  Fsid,
  Vsid,
  FullVsid,
  Owner,
  Organization,
  Contact,
  AppId,
  ImpId,
  WriteProtect,
};
constexpr size_t kOptionCount = 20;

// One option: its letter (0 for none) and long name (without "--"), the
// name of its value in --help (none for a flag), its --help text (lines
// after the first start with '\n'), and the identifier field it sets.
struct OptionEntry {
  OptionId id;
  char letter;
  const char* name;
  const char* value;
  const char* help;
  std::optional<Field> field;
};

// Every option, in the order of --help.
std::span<const OptionEntry> option_table();

const OptionEntry& option_entry(OptionId id);

// What the arguments before the image path give: for each option whether
// it was given and its value (the last one given; "" for -u and --uuid
// without one). `unknown` is the first argument that looks like an option
// but is none; `first_operand` is the index of the image path (argc when
// there is none).
struct Options {
  std::array<bool, kOptionCount> given{};
  std::array<const char*, kOptionCount> value{};
  const char* unknown = nullptr;
  int first_operand = 1;
  bool has(OptionId id) const { return given[static_cast<size_t>(id)]; }
  const char* of(OptionId id) const { return value[static_cast<size_t>(id)]; }
};

// Reads the options up to the first argument that does not begin with '-'
// ("-" alone is a path), or up to and past "--". Stops at an unknown option.
// Short options combine (-nv); -u takes the rest of its argument or, when
// that is empty, the next one. A long option with a value takes the text
// after '=' or the next argument. On Windows "/?" is --help.
Options parse_options(int argc, char** argv);

// The option list --help prints after the usage text.
std::string option_help();
