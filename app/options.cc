#include "app/options.h"

#include <string_view>

namespace {

using O = OptionId;
using F = Field;

constexpr std::array<OptionEntry, kOptionCount> kOptions = {{
    {O::Help, 'h', "help", nullptr, "print this text and exit (also /? on Windows)", std::nullopt},
    {O::Version, 'V', "version", nullptr, "print the version line and exit", std::nullopt},
    {O::DryRun, 'n', "dry-run", nullptr, "list the blocks a relabel would rewrite, writing nothing", std::nullopt},
    {O::Force, 'f', "force", nullptr,
     "when a copy is damaged or unreadable, still rewrite the\ncopies that verify (and exit 1)", std::nullopt},
    {O::Verbose, 'v', "verbose", nullptr,
     "list the blocks as they are rewritten; on a query, show\nthe UDF revision, block size, partitions, UUID, every\n"
     "identifier and every copy of the label",
     std::nullopt},
    {O::List, 'l', "list", nullptr, "every argument is an ISO File: show the label of each", std::nullopt},
    {O::Label, 0, "label", "LABEL", "set this label, whatever it looks like", std::nullopt},
    {O::Uuid, 'u', "uuid", "UUID", "set the UUID (16 hexadecimal digits, or random)", std::nullopt},
    {O::Json, 0, "json", nullptr, "print each query as one line of JSON", std::nullopt},
    {O::Vid, 0, "vid", "TEXT", "set the Volume Identifier", F::VolumeIdentifier},
    {O::Lvid, 0, "lvid", "TEXT", "set the Logical Volume Identifier", F::LogicalVolumeIdentifier},
    {O::Fsid, 0, "fsid", "TEXT", "set the File Set Identifier", F::FileSetIdentifier},
    {O::Vsid, 0, "vsid", "TEXT", "set the Volume Set Identifier after its first 16\ncharacters (the UUID's)",
     F::VolumeSetIdentifier},
    {O::FullVsid, 0, "fullvsid", "TEXT", "set the whole Volume Set Identifier", F::VolumeSetIdentifier},
    {O::Owner, 0, "owner", "TEXT", "set the owner (LVInfo1)", F::Owner},
    {O::Organization, 0, "organization", "TEXT", "set the organization (LVInfo2)", F::Organization},
    {O::Contact, 0, "contact", "TEXT", "set the contact (LVInfo3)", F::Contact},
    {O::AppId, 0, "appid", "TEXT", "set the Application Identifier (1 to 23 ASCII\ncharacters beginning with *)",
     F::ApplicationIdentifier},
    {O::ImpId, 0, "impid", "TEXT", "set the Implementation Identifier (likewise)", F::ImplementationIdentifier},
    {O::WriteProtect, 0, "write-protect", "on|off", "set or clear the Soft Write-Protect flag", std::nullopt},
}};

constexpr size_t kHelpColumn = 24;

const OptionEntry* by_name(std::string_view name) {
  for (const OptionEntry& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

const OptionEntry* by_letter(char letter) {
  for (const OptionEntry& option : kOptions) {
    if (option.letter != 0 && option.letter == letter) return &option;
  }
  return nullptr;
}

}  // namespace

std::span<const OptionEntry> option_table() { return kOptions; }

const OptionEntry& option_entry(OptionId id) { return kOptions[static_cast<size_t>(id)]; }

Options parse_options(int argc, char** argv) {
  Options options;
  int i = 1;
  const auto set = [&](const OptionEntry& option, const char* value) {
    const auto k = static_cast<size_t>(option.id);
    options.given[k] = true;
    if (value != nullptr) options.value[k] = value;
  };
  // The value written into this argument (`rest`), else the next argument;
  // -u and --uuid without either stand for an empty UUID, which is refused.
  const auto take_value = [&](const OptionEntry& option, const char* rest) {
    if (*rest != 0) {
      set(option, rest);
    } else if (i + 1 < argc) {
      set(option, argv[++i]);
    } else if (option.id == OptionId::Uuid) {
      set(option, options.of(OptionId::Uuid) != nullptr ? nullptr : "");
    }
  };
  for (; i < argc && options.unknown == nullptr; ++i) {
    const std::string_view arg = argv[i];
#ifdef _WIN32
    if (arg == "/?") {
      set(option_entry(OptionId::Help), nullptr);
      continue;
    }
#endif
    if (arg.size() < 2 || arg[0] != '-') break;
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg[1] == '-') {
      const size_t equals = arg.find('=');
      const OptionEntry* option = by_name(arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2));
      if (option == nullptr || (equals != std::string_view::npos && option->value == nullptr)) {
        options.unknown = argv[i];
      } else if (equals != std::string_view::npos) {
        set(*option, argv[i] + equals + 1);
      } else if (option->value != nullptr) {
        take_value(*option, "");
      } else {
        set(*option, nullptr);
      }
      continue;
    }
    for (size_t k = 1; k < arg.size(); ++k) {
      const OptionEntry* option = by_letter(arg[k]);
      if (option == nullptr) {
        options.unknown = argv[i];
        break;
      }
      if (option->value != nullptr) {
        take_value(*option, argv[i] + k + 1);
        break;
      }
      set(*option, nullptr);
    }
  }
  options.first_operand = i;
  return options;
}

std::string option_help() {
  std::string text = "\nOptions (before the ISO File):\n";
  const auto add = [&](std::string head, std::string_view help) {
    head.resize(std::max(head.size() + 2, kHelpColumn), ' ');
    text += "\t" + head;
    for (const char c : help) text += c == '\n' ? "\n\t" + std::string(kHelpColumn, ' ') : std::string(1, c);
    text += "\n";
  };
  for (const OptionEntry& option : kOptions) {
    std::string head = option.letter != 0 ? std::string{'-', option.letter, ',', ' '} : std::string();
    head += std::string("--") + option.name;
    if (option.value != nullptr) head += std::string(" ") + option.value;
    add(std::move(head), option.help);
  }
  add("--", "end of options, for an ISO File that begins with '-'");
  return text + "\tShort options combine: -nv is -n -v.\n";
}
