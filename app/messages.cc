#include "app/messages.h"

#include "image/console.h"

const char* place_text(CopyPlace place) {
  switch (place) {
    case CopyPlace::MainSequence: return "main sequence";
    case CopyPlace::ReserveSequence: return "reserve sequence";
    case CopyPlace::MetadataMirror: return "metadata mirror";
    default: return "";
  }
}

std::string copy_name(CopyKind kind, uint32_t block, CopyPlace place, std::optional<uint32_t> session) {
  std::string text = std::string(label_descriptor(kind).name) + " at block " + std::to_string(block);
  std::string where = place_text(place);
  if (session) where += (where.empty() ? "session " : ", session ") + std::to_string(*session);
  if (!where.empty()) text += " (" + where + ")";
  return text;
}

const char* const kDone = "Done!";

const char* const kNothingWritten = "Nothing written (--force writes the copies that verify)";

std::string session_heading(uint32_t number, size_t count, uint32_t start) {
  return "Session " + std::to_string(number) + " of " + std::to_string(count) + " at block " + std::to_string(start);
}

std::string open_failure_message(const char* path, bool changing, const OpenRefusal& refusal) {
  if (refusal.kind == OpenRefusal::InUse) return std::string("Image is in use: ") + path;
  std::string text = std::string(changing ? "Error opening file for writing: " : "Error opening file: ") + path;
  if (refusal.kind == OpenRefusal::Mounted) text += " (mounted through " + refusal.device + ")";
  return text;
}

std::string read_failure_message(const char* path) { return std::string("Error reading file: ") + path; }

std::string sync_failure_message(const char* path) { return std::string("Error writing file: ") + path; }

std::string scan_failure_message(ScanFailure failure, const char* path) {
  switch (failure) {
    case ScanFailure::NoFileSystem: return std::string("UDF file system not found in: ") + path;
    case ScanFailure::ShortImage: return "Failed to read ADVP!";
    default: return std::string("UDF anchor not found in: ") + path;
  }
}

std::string problem_message(const Problem& problem, const char* path) {
  switch (problem.kind) {
    case ProblemKind::FileSetNotFound: return "File Set Descriptor not found";
    case ProblemKind::SessionFileSetNotFound:
      return "File Set Descriptor not found in session " + std::to_string(problem.session);
    case ProblemKind::ReadError: return read_failure_message(path);
    case ProblemKind::Repaired:
      return "Repaired descriptor at block " + std::to_string(problem.block) + " from block " +
             std::to_string(problem.from);
    default: return "Damaged descriptor at block " + std::to_string(problem.block) + " left unchanged";
  }
}

std::string listing_line(const PlanLine& line) {
  std::string text = copy_name(line.kind, line.block, line.place, line.session) + ": " + line.identifier;
  for (const auto& [field, value] : line.fields) text += std::string("; ") + field_change_name(field) + ": " + value;
  return text;
}

const char* field_report_name(Field field) {
  switch (field) {
    case Field::VolumeIdentifier: return "Volume Identifier";
    case Field::LogicalVolumeIdentifier: return "Logical Volume Identifier";
    case Field::FileSetIdentifier: return "File Set Identifier";
    case Field::VolumeSetIdentifier: return "Volume Set Identifier";
    case Field::Owner: return "Owner";
    case Field::Organization: return "Organization";
    case Field::Contact: return "Contact";
    case Field::ApplicationIdentifier: return "Application";
    case Field::ImplementationIdentifier: return "Implementation";
    default: return "Write protection";
  }
}

const char* field_change_name(Field field) {
  switch (field) {
    case Field::Owner: return "owner";
    case Field::Organization: return "organization";
    case Field::Contact: return "contact";
    case Field::ApplicationIdentifier: return "Application Identifier";
    case Field::ImplementationIdentifier: return "Implementation Identifier";
    case Field::DomainFlags: return "write protection";
    default: return field_report_name(field);
  }
}

std::string changing_field_message(const char* path, Field field, const std::string& text) {
  return std::string("Changing ") + path + " " + field_change_name(field) + " to '" + text + "'";
}

std::string changing_protection_message(const char* path, bool on) {
  return std::string("Changing ") + path + " write protection to " + (on ? "on" : "off");
}

const char* whole_volume_set_refusal() {
  return "--fullvsid sets the whole Volume Set Identifier; -u and --vsid set its parts";
}

const char* short_volume_set_refusal() {
  return "--vsid needs a Volume Set Identifier of 16 characters or more (-u sets them)";
}

std::string invalid_entity_identifier_message(const char* option, const char* value) {
  return std::string("Invalid --") + option + " value: " + value + " (1 to 23 ASCII characters beginning with *)";
}

std::string write_failure_message(uint32_t block, const WriteOutcome& outcome) {
  if (!outcome.positioned) return "fseek to sector " + std::to_string(block) + " failed!";
  return "fwrite to sector " + std::to_string(block) + " failed, result=" + std::to_string(outcome.written) + "!";
}

const char* too_many_arguments_message() { return "Too many arguments (-l shows the labels of several images)"; }

std::string label_names_file_message(const char* label) {
  return "The label '" + std::string(label) +
         "' is the name of an existing file (-l shows several images; --label sets this label)";
}

const char* out_of_memory_message() { return "Out of memory"; }

void print_line(const std::string& text) { print_out("%s\n", text.c_str()); }
