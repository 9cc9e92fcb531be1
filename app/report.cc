#include "app/report.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/messages.h"
#include "image/console.h"
#include "image/utf.h"
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
      item["file_set_identifier"] = copy.verified ? Json(copy_file_set_identifier(copy)) : Json(nullptr);
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
