#include "app/report.h"

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/messages.h"
#include "image/console.h"
#include "image/utf.h"
#include "udf/layout.h"
#include "udf/volume_id.h"

namespace {

using Json = nlohmann::ordered_json;

const char* kind_name(PartitionKind kind) {
  switch (kind) {
    case PartitionKind::Physical: return "physical";
    case PartitionKind::Sparable: return "sparable";
    case PartitionKind::Virtual: return "virtual";
    case PartitionKind::Metadata: return "metadata";
    default: return "unsupported";
  }
}

// The revision as blkid reports it: the higher of the integrity
// descriptor's and the domain identifier's; none when both are 0.
std::optional<std::string> revision(const Volume& volume) {
  const uint16_t value = std::max(volume.integrity_revision.value_or(0), volume.domain_revision);
  if (value == 0) return std::nullopt;
  return format_udf_revision(value);
}

std::optional<std::string> uuid(const Volume& volume) {
  if (!volume.volume_set_identifier) return std::nullopt;
  return uuid_from_volume_set(*volume.volume_set_identifier);
}

// The identity the report and the record show beyond the label: every
// identifier field from the first verified copy of a kind that carries it
// (the Logical Volume Identifier from the VAT where there is one, else from
// the Logical Volume Descriptor), the Windows serial number, the access
// type and integrity in udfinfo's words, the write-protect flags of the
// Logical Volume and File Set Descriptors and the UDF revisions.
struct Identity {
  std::array<std::string, kFieldCount> fields;
  std::optional<std::string> serial;
  const char* access = "unknown";
  const char* integrity = "unknown";
  bool soft = false;
  bool hard = false;
  std::optional<std::string> read_revision;
  std::optional<std::string> write_revision;
};

const char* access_text(std::optional<uint32_t> type) {
  constexpr const char* kWords[] = {"pseudo-overwritable", "readonly", "writeonce", "rewritable", "overwritable"};
  return type && *type < std::size(kWords) ? kWords[*type] : "unknown";
}

Identity identity(const Volume& volume) {
  Identity id;
  const LabelCopy* vat = first_verified(volume, CopyKind::Vat);
  for (const FieldPlace& place : field_places()) {
    // The Logical Volume Identifier readers show: the VAT's, else the LVD's.
    const CopyKind lvi_source = vat != nullptr ? CopyKind::Vat : CopyKind::LogicalVolume;
    if (place.field == Field::LogicalVolumeIdentifier && place.kind != lvi_source) continue;
    const LabelCopy* copy = first_verified(volume, place.kind);
    if (copy == nullptr) continue;
    if (place.form == FieldForm::DomainFlags) {
      const size_t offset = field_offset(*copy, place);
      if (!is_udf_domain(copy->bytes, offset - regid::kDomainFlagsFromText)) continue;
      id.soft = id.soft || (copy->bytes[offset] & regid::kSoftWriteProtect) != 0;
      id.hard = id.hard || (copy->bytes[offset] & regid::kHardWriteProtect) != 0;
      continue;
    }
    id.fields[static_cast<size_t>(place.field)] = copy_field_text(*copy, place.field);
  }
  if (const LabelCopy* fsd = first_verified(volume, CopyKind::FileSet)) {
    if (const auto serial = windows_serial_number(fsd->bytes)) {
      // As Windows' vol prints it: XXXX-XXXX, upper-case hexadecimal.
      std::string digits;
      for (int shift = 28; shift >= 0; shift -= 4) {
        digits.push_back("0123456789ABCDEF"[(*serial >> shift) & 0xF]);
        if (shift == 16) digits.push_back('-');
      }
      id.serial = digits;
    }
  }
  id.access = access_text(volume.access_type);
  if (vat != nullptr || volume.integrity_type == 1) {
    id.integrity = "closed";
  } else if (volume.integrity_type == 0) {
    id.integrity = "opened";
  }
  if (const auto revisions = declared_revisions(volume)) {
    id.read_revision = format_udf_revision(revisions->read);
    id.write_revision = format_udf_revision(revisions->write);
  }
  return id;
}

// The identifier fields in the order the report shows them.
constexpr Field kShownFields[] = {Field::VolumeIdentifier, Field::LogicalVolumeIdentifier, Field::FileSetIdentifier,
                                  Field::VolumeSetIdentifier, Field::Owner, Field::Organization, Field::Contact,
                                  Field::ApplicationIdentifier, Field::ImplementationIdentifier};

// One line, with a space after each comma and colon as most JSON writers
// put it; strings escaped by the library, and a path or label that is not
// UTF-8 gets U+FFFD where it is not.
void append_json(const Json& value, std::string* out) {
  if (value.is_object() || value.is_array()) {
    const bool object = value.is_object();
    *out += object ? '{' : '[';
    bool first = true;
    for (const auto& item : value.items()) {
      if (!first) *out += ", ";
      first = false;
      if (object) {
        append_json(Json(item.key()), out);
        *out += ": ";
      }
      append_json(item.value(), out);
    }
    *out += object ? '}' : ']';
    return;
  }
  *out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dump(const Json& record) {
  std::string line;
  append_json(record, &line);
  return line + "\n";
}

// The copies of session `session`, as the record lists them.
Json copies_json(const Volume& volume, uint32_t session) {
  Json copies = Json::array();
  for (const LabelCopy& copy : volume.copies) {
    if (copy.session != session) continue;
    Json item;
    const char* where = place_text(copy.place);
    item["descriptor"] = label_descriptor(copy.kind).name;
    item["block"] = copy.block;
    item["where"] = *where != 0 ? Json(where) : Json(nullptr);
    item["identifier"] = copy.verified ? Json(copy_identifier(copy)) : Json(nullptr);
    item["verified"] = copy.verified;
    if (copy.kind == CopyKind::FileSet) {
      const std::string file_set = copy_field_text(copy, Field::FileSetIdentifier);
      item["file_set_identifier"] = copy.verified ? Json(file_set) : Json(nullptr);
    }
    copies.push_back(std::move(item));
  }
  return copies;
}

}  // namespace

void print_volume_report(const Volume& volume) {
  std::string kinds;
  for (const PartitionEntry& entry : volume.partitions) {
    kinds += (kinds.empty() ? "" : ", ") + std::string(kind_name(entry.kind));
  }
  // The lines go out as the label line does, so that they reach a Windows
  // console as UTF-16 after it.
  const std::string summary = "UDF " + revision(volume).value_or("unknown") + ", " +
                              std::to_string(volume.block_size) + "-byte blocks, partitions: " +
                              (kinds.empty() ? "none" : kinds);
  wprint_out(L"%S\n", summary.c_str());
  wprint_out(L"UUID: %S\n", uuid(volume).value_or("none").c_str());
  const Identity id = identity(volume);
  std::vector<std::string> lines;
  for (Field field : kShownFields) {
    lines.push_back(std::string(field_report_name(field)) + ": " + id.fields[static_cast<size_t>(field)]);
  }
  lines.push_back("Windows serial number: " + id.serial.value_or(""));
  lines.push_back(std::string("Access: ") + id.access);
  lines.push_back(std::string("Integrity: ") + id.integrity);
  lines.push_back(std::string("Write protection: ") +
                  (id.soft && id.hard ? "soft, hard" : id.soft ? "soft" : id.hard ? "hard" : "none"));
  lines.push_back("UDF revisions: read " + id.read_revision.value_or("unknown") + ", write " +
                  id.write_revision.value_or("unknown"));
  for (const std::string& line : lines) wprint_out(L"%S\n", line.c_str());
  const size_t sessions = volume.sessions.size();
  for (size_t k = 0; k < volume.copies.size(); ++k) {
    const LabelCopy& copy = volume.copies[k];
    if (sessions > 1 && (k == 0 || volume.copies[k - 1].session != copy.session) && copy.session < sessions) {
      const std::string heading = session_heading(copy.session + 1, sessions, volume.sessions[copy.session].start);
      wprint_out(L"%S\n", heading.c_str());
    }
    const std::string line = copy_name(copy.kind, copy.block, copy.place) + ": " +
                             (copy.verified ? copy_identifier(copy) : std::string("damaged"));
    wprint_out(L"%S\n", line.c_str());
  }
}

std::string volume_json(const char* path, const Volume& volume) {
  Json record;
  record["path"] = path;
  record["label"] = volume_label(volume);
  const auto id = uuid(volume);
  record["uuid"] = id ? Json(*id) : Json(nullptr);
  const auto rev = revision(volume);
  record["udf_revision"] = rev ? Json(*rev) : Json(nullptr);
  record["block_size"] = volume.block_size;
  record["partitions"] = Json::array();
  for (const PartitionEntry& entry : volume.partitions) record["partitions"].push_back(kind_name(entry.kind));
  const Identity shown = identity(volume);
  constexpr const char* kKeys[] = {"volume_identifier", "logical_volume_identifier", "file_set_identifier",
                                   "volume_set_identifier", "owner", "organization", "contact",
                                   "application_identifier", "implementation_identifier"};
  for (size_t k = 0; k < std::size(kShownFields); ++k) {
    record[kKeys[k]] = shown.fields[static_cast<size_t>(kShownFields[k])];
  }
  record["windows_serial_number"] = shown.serial ? Json(*shown.serial) : Json(nullptr);
  record["access_type"] = shown.access;
  record["integrity"] = shown.integrity;
  record["write_protect"] = Json::object({{"soft", shown.soft}, {"hard", shown.hard}});
  record["udf_read_revision"] = shown.read_revision ? Json(*shown.read_revision) : Json(nullptr);
  record["udf_write_revision"] = shown.write_revision ? Json(*shown.write_revision) : Json(nullptr);
  const uint32_t last = last_session(volume);
  record["copies"] = copies_json(volume, last);
  if (volume.sessions.size() > 1) {
    record["sessions"] = Json::array();
    for (size_t k = 0; k < volume.sessions.size(); ++k) {
      Json session;
      session["start"] = volume.sessions[k].start;
      session["copies"] = copies_json(volume, static_cast<uint32_t>(k));
      record["sessions"].push_back(std::move(session));
    }
  }
  return dump(record);
}

std::string error_json(const char* path, std::string_view message) {
  Json record;
  record["path"] = path;
  record["error"] = std::string(message);
  return dump(record);
}
