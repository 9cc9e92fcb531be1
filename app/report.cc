#include "app/report.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>

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
std::optional<std::string> revision(const VolumeReport& report) {
  const uint16_t value = std::max(report.integrity_revision.value_or(0), report.domain_revision);
  if (value == 0) return std::nullopt;
  return format_udf_revision(value);
}

std::optional<std::string> uuid(const VolumeReport& report) {
  if (!report.volume_set_identifier) return std::nullopt;
  return uuid_from_volume_set(*report.volume_set_identifier);
}

std::string label_text(const RelabelContext& ctx) {
  std::string text;
  utf16_to_utf8(ctx.captured_label, &text);
  return text;
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

}  // namespace

void print_volume_report(const RelabelContext& ctx) {
  std::string kinds;
  for (const PartitionEntry& entry : ctx.partitions) {
    kinds += (kinds.empty() ? "" : ", ") + std::string(kind_name(entry.kind));
  }
  // The lines go out as the label line does, so that they reach a Windows
  // console as UTF-16 after it.
  const std::string summary = "UDF " + revision(ctx.report).value_or("unknown") + ", " +
                              std::to_string(ctx.image.block_size) + "-byte blocks, partitions: " +
                              (kinds.empty() ? "none" : kinds);
  wprint_out(L"%S\n", summary.c_str());
  wprint_out(L"UUID: %S\n", uuid(ctx.report).value_or("none").c_str());
  for (const LabelCopy& copy : ctx.report.copies) {
    std::string line = std::string(copy.name) + " at block " + std::to_string(copy.block);
    if (*copy.where != 0) line += std::string(" (") + copy.where + ")";
    line += ": " + (copy.verified ? copy.identifier : std::string("damaged"));
    wprint_out(L"%S\n", line.c_str());
  }
}

std::string volume_json(const char* path, const RelabelContext& ctx) {
  Json record;
  record["path"] = path;
  record["label"] = label_text(ctx);
  const auto id = uuid(ctx.report);
  record["uuid"] = id ? Json(*id) : Json(nullptr);
  const auto rev = revision(ctx.report);
  record["udf_revision"] = rev ? Json(*rev) : Json(nullptr);
  record["block_size"] = ctx.image.block_size;
  record["partitions"] = Json::array();
  for (const PartitionEntry& entry : ctx.partitions) record["partitions"].push_back(kind_name(entry.kind));
  record["copies"] = Json::array();
  for (const LabelCopy& copy : ctx.report.copies) {
    Json item;
    item["descriptor"] = copy.name;
    item["block"] = copy.block;
    item["where"] = *copy.where != 0 ? Json(copy.where) : Json(nullptr);
    item["identifier"] = copy.verified ? Json(copy.identifier) : Json(nullptr);
    item["verified"] = copy.verified;
    if (std::string_view(copy.name) == "File Set Descriptor") {
      item["file_set_identifier"] = copy.file_set_identifier ? Json(*copy.file_set_identifier) : Json(nullptr);
    }
    record["copies"].push_back(std::move(item));
  }
  return dump(record);
}

std::string error_json(const char* path, std::string_view message) {
  Json record;
  record["path"] = path;
  record["error"] = std::string(message);
  return dump(record);
}
