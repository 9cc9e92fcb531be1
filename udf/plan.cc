#include "udf/plan.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "ecma167/tag.h"
#include "udf/layout.h"

namespace {

constexpr std::string_view kOstaCompressedUnicode = "OSTA Compressed Unicode";

// A CS0 charspec (1/7.2.1, UDF 2.1.2): type 0, "OSTA Compressed Unicode".
FieldChange cs0_charspec(size_t offset) {
  FieldChange change{offset, std::vector<uint8_t>(charspec::kSize, 0)};
  change.bytes[charspec::kCharacterSetType] = 0;
  std::memcpy(change.bytes.data() + charspec::kCharacterSetInfo, kOstaCompressedUnicode.data(),
              kOstaCompressedUnicode.size());
  return change;
}

void apply_changes(std::vector<uint8_t>* bytes, const std::vector<FieldChange>& changes) {
  for (const FieldChange& change : changes) {
    if (!field_fits(*bytes, change.offset, change.bytes.size())) continue;
    std::copy(change.bytes.begin(), change.bytes.end(), bytes->begin() + static_cast<ptrdiff_t>(change.offset));
  }
}

// The Soft Write-Protect flag as `change` asks for it in the domain flags
// byte `flags`.
uint8_t sealed_flags(uint8_t flags, bool on) {
  return static_cast<uint8_t>(on ? flags | regid::kSoftWriteProtect : flags & ~regid::kSoftWriteProtect);
}

// The bytes `change` writes into the field `place` of `copy`, which it
// holds now at `offset`; none when the change leaves the field as it is.
std::optional<std::vector<uint8_t>> field_bytes(const LabelCopy& copy, const FieldPlace& place, size_t offset,
                                               const Change& change) {
  if (!field_fits(copy.bytes, offset, place.size)) return std::nullopt;
  if (place.field == Field::VolumeSetIdentifier) {
    const auto identifier = changed_volume_set(copy.bytes, change);
    if (!identifier) return std::nullopt;
    return std::vector<uint8_t>(identifier->begin(), identifier->end());
  }
  if (place.form == FieldForm::DomainFlags) {
    // Only a UDF domain's suffix holds the flags (UDF 2.1.5.3).
    const uint8_t flags = copy.bytes[offset];
    if (!change.write_protect || !is_udf_domain(copy.bytes, offset - regid::kDomainFlagsFromText) ||
        sealed_flags(flags, *change.write_protect) == flags) {
      return std::nullopt;
    }
    return std::vector<uint8_t>{sealed_flags(flags, *change.write_protect)};
  }
  const DstringText* value = change_value(change, place.field);
  if (value == nullptr) return std::nullopt;
  std::vector<uint8_t> bytes(place.size, 0);
  if (place.form == FieldForm::Dstring) {
    encode_dstring(bytes, *value);
  } else {
    const size_t n = std::min(dstring_text_length(*value), bytes.size());
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(value->units[i]);
  }
  return bytes;
}

// Whether the field's character set becomes CS0 with it: a d-string given a
// value of its own; not the Volume Set Identifier for a new UUID alone,
// whose characters keep their form.
bool sets_charset(const FieldPlace& place, const Change& change) {
  if (!place.charset) return false;
  if (place.field == Field::VolumeSetIdentifier) return change.fields[static_cast<size_t>(place.field)].has_value();
  return place.form == FieldForm::Dstring;
}

// Whether `change` rewrites copies of `kind`: any field of the kind it sets.
bool rewrites(const Change& change, CopyKind kind) {
  for (const FieldPlace& place : field_places()) {
    if (place.kind != kind) continue;
    if (place.form == FieldForm::DomainFlags ? change.write_protect.has_value()
                                             : change_value(change, place.field) != nullptr) {
      return true;
    }
    if (place.field == Field::VolumeSetIdentifier && change.uuid) return true;
  }
  return false;
}

// The field changes of one verified copy, and the fields an identifier
// option or the write protection sets in it besides the one it shows.
struct CopyChanges {
  std::vector<FieldChange> changes;
  std::vector<Field> listed;
};

CopyChanges copy_changes(const LabelCopy& copy, const Change& change) {
  CopyChanges result;
  for (const FieldPlace& place : field_places()) {
    if (place.kind != copy.kind) continue;
    const size_t offset = field_offset(copy, place);
    std::optional<std::vector<uint8_t>> bytes = field_bytes(copy, place, offset, change);
    if (!bytes) continue;
    if (sets_charset(place, change)) result.changes.push_back(cs0_charspec(*place.charset));
    result.changes.push_back(FieldChange{offset, std::move(*bytes)});
    const bool by_option =
        place.form == FieldForm::DomainFlags || change.fields[static_cast<size_t>(place.field)].has_value();
    if (by_option && place.field != label_descriptor(copy.kind).shown) result.listed.push_back(place.field);
  }
  return result;
}

// Adds the changes to the block's entry, making one when it has none.
size_t add_write(Plan* plan, const LabelCopy& copy, std::vector<FieldChange> changes, WriteGroup group) {
  for (size_t i = 0; i < plan->writes.size(); ++i) {
    PlannedBlock& planned = plan->writes[i];
    if (planned.block != copy.block) continue;
    planned.changes.insert(planned.changes.end(), changes.begin(), changes.end());
    planned.renew_tag = planned.renew_tag || copy.tagged;
    return i;
  }
  plan->writes.push_back(PlannedBlock{copy.block, group, copy.bytes, std::move(changes), copy.tagged});
  return plan->writes.size() - 1;
}

// The verified copy a damaged copy is mended from (`from`), made the
// damaged copy's own: its block, place and Tag Location.
struct Twin {
  LabelCopy copy;
  uint32_t from = 0;
};

std::optional<Twin> twin_of(const Volume& volume, const LabelCopy& copy) {
  const bool main = copy.place == CopyPlace::MainSequence;
  const bool in_sequence = main || copy.place == CopyPlace::ReserveSequence;
  if (copy.kind == CopyKind::Vat || (!in_sequence && copy.kind != CopyKind::FileSet)) return std::nullopt;
  std::optional<uint32_t> block;
  if (in_sequence) {
    // The sequences of the copy's own session.
    const bool in_session = copy.session < volume.sessions.size();
    const SequenceExtent& main_extent = in_session ? volume.sessions[copy.session].main_sequence : volume.main_sequence;
    const SequenceExtent& reserve_extent =
        in_session ? volume.sessions[copy.session].reserve_sequence : volume.reserve_sequence;
    const SequenceExtent& own = main ? main_extent : reserve_extent;
    const SequenceExtent& other = main ? reserve_extent : main_extent;
    if (own.length != other.length || copy.block < own.location) return std::nullopt;
    block = other.location + (copy.block - own.location);
  }
  for (const LabelCopy& candidate : volume.copies) {
    if (!candidate.verified || candidate.kind == CopyKind::Vat || candidate.session != copy.session) continue;
    // Only a descriptor of the copy's own kind: an IUVD is never rebuilt
    // as the LVD that holds its place in the other sequence.
    const bool other_sequence = in_sequence && candidate.block == block && candidate.kind == copy.kind &&
                                candidate.place == (main ? CopyPlace::ReserveSequence : CopyPlace::MainSequence);
    const bool other_file_set = !in_sequence && candidate.kind == CopyKind::FileSet;
    if (!other_sequence && !other_file_set) continue;
    LabelCopy mended = candidate;
    mended.block = copy.block;
    mended.place = copy.place;
    // A sequence descriptor's Tag Location is its block; a File Set
    // Descriptor's, the logical block both copies share.
    if (in_sequence) put_u32(mended.bytes, kTagLocationOffset, copy.block);
    return Twin{std::move(mended), candidate.block};
  }
  return std::nullopt;
}

}  // namespace

const DstringText* change_value(const Change& change, Field field) {
  const auto& own = change.fields[static_cast<size_t>(field)];
  if (own) return &*own;
  const bool labelled = field == Field::VolumeIdentifier || field == Field::LogicalVolumeIdentifier ||
                        field == Field::FileSetIdentifier;
  return labelled && change.label ? &*change.label : nullptr;
}

std::optional<std::array<uint8_t, kLongDstring>> changed_volume_set(std::span<const uint8_t> pvd,
                                                                   const Change& change) {
  const auto& value = change.fields[static_cast<size_t>(Field::VolumeSetIdentifier)];
  if ((!value && !change.uuid) || !field_fits(pvd, pvd::kVolumeSetIdentifier, kLongDstring)) return std::nullopt;
  std::vector<uint8_t> patched(pvd.begin(), pvd.end());
  if (change.uuid) write_volume_set_uuid(patched, *change.uuid);
  const auto field = std::span(patched).subspan<pvd::kVolumeSetIdentifier, kLongDstring>();
  std::array<uint8_t, kLongDstring> identifier{};
  if (value && change.volume_set_part == VolumeSetPart::Whole) {
    encode_dstring(identifier, *value);
    return identifier;
  }
  if (value) {
    // The first 16 characters as they stand (the new UUID's digits), then
    // the value; the form is chosen for the whole.
    DstringText whole;
    size_t n = 0;
    const std::u32string current = dstring_characters(field);
    for (size_t k = 0; k < current.size() && k < kUuidCharacters; ++k) {
      const char32_t c = current[k];
      if (c > 0xFFFF) {
        whole.units[n++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        whole.units[n++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        whole.units[n++] = static_cast<char16_t>(c);
      }
    }
    const size_t head = n;
    for (size_t i = 0; value->units[i] != 0 && n + 1 < whole.units.size(); ++i) whole.units[n++] = value->units[i];
    whole.wide = value->wide || std::any_of(whole.units.begin(), whole.units.begin() + static_cast<ptrdiff_t>(head),
                                            [](char16_t c) { return c > 0xFF; });
    encode_dstring(identifier, whole);
    return identifier;
  }
  std::copy(field.begin(), field.end(), identifier.begin());
  return identifier;
}

std::string value_as_written(Field field, const DstringText& value, VolumeSetPart part) {
  std::optional<FieldPlace> place;
  for (const FieldPlace& row : field_places()) {
    if (row.field == field && !place) place = row;
  }
  if (!place) return {};
  std::vector<uint8_t> bytes(place->size, 0);
  if (place->form == FieldForm::EntityIdentifier) {
    std::string text;
    for (size_t i = 0; i < place->size && value.units[i] != 0; ++i) text.push_back(static_cast<char>(value.units[i]));
    return text;
  }
  if (field == Field::VolumeSetIdentifier && part == VolumeSetPart::AfterUuid) {
    // What a field holds after the first 16 characters, in the value's form.
    bytes.resize(place->size - (value.wide ? 2 * kUuidCharacters : kUuidCharacters));
  }
  encode_dstring(bytes, value);
  return dstring_to_utf8(bytes);
}

bool plan_complete(const Plan& plan) {
  return std::all_of(plan.problems.begin(), plan.problems.end(),
                     [](const Problem& problem) { return problem.kind == ProblemKind::Repaired; });
}

std::vector<uint8_t> planned_bytes(const PlannedBlock& planned) {
  std::vector<uint8_t> bytes = planned.current;
  apply_changes(&bytes, planned.changes);
  if (planned.renew_tag) finalize_tag(bytes, get_u16(bytes, kTagCrcLengthOffset));
  return bytes;
}

Plan plan_relabel(const Volume& volume, const Change& change) {
  Plan plan;
  if (volume.read_error) plan.problems.push_back(Problem{ProblemKind::ReadError, 0, 0, 0});
  const size_t sessions = std::max<size_t>(1, volume.sessions.size());
  const bool several = sessions > 1;
  std::vector<bool> file_set_planned(sessions, false);
  std::vector<bool> file_set_checked(sessions, false);
  const auto check_file_set = [&](uint32_t session) {
    if (session >= sessions || file_set_checked[session]) return;
    file_set_checked[session] = true;
    const bool file_set_changes = change_value(change, Field::LogicalVolumeIdentifier) != nullptr ||
                                  change_value(change, Field::FileSetIdentifier) != nullptr ||
                                  change.write_protect.has_value();
    // After a failed read the File Set Descriptor may be there unread.
    if (!file_set_changes || volume.read_error) return;
    if (!several && !volume.file_set_found) plan.problems.push_back(Problem{ProblemKind::FileSetNotFound, 0, 0, 0});
    if (several && !volume.sessions[session].file_set_found) {
      plan.problems.push_back(Problem{ProblemKind::SessionFileSetNotFound, 0, 0, session + 1});
    }
  };
  for (const LabelCopy& original : volume.copies) {
    // A session's File Set Descriptor is looked for before its VAT and
    // before the next session's copies.
    for (uint32_t before = 0; before < original.session; ++before) check_file_set(before);
    if (original.kind == CopyKind::Vat) check_file_set(original.session);
    if (!rewrites(change, original.kind)) continue;
    std::optional<Twin> twin;
    if (!original.verified) {
      twin = twin_of(volume, original);
      if (!twin || !rewrites(change, twin->copy.kind)) {
        plan.problems.push_back(Problem{ProblemKind::Damaged, original.block, 0, 0});
        continue;
      }
      plan.problems.push_back(Problem{ProblemKind::Repaired, original.block, twin->from, 0});
    }
    const LabelCopy& copy = twin ? twin->copy : original;
    CopyChanges changes = copy_changes(copy, change);
    // A verified copy that already holds what the change asks (the write
    // protection as asked) is not written; a mended one always is.
    if (changes.changes.empty() && !twin) continue;
    WriteGroup group = WriteGroup::Second;
    if (copy.place == CopyPlace::MainSequence) group = WriteGroup::First;
    if (copy.kind == CopyKind::FileSet && copy.session < sessions && !file_set_planned[copy.session]) {
      group = WriteGroup::First;
      file_set_planned[copy.session] = true;
    }
    LabelCopy after = copy;  // as it will be written
    apply_changes(&after.bytes, changes.changes);
    const size_t write = add_write(&plan, copy, std::move(changes.changes), group);
    PlanLine line{copy.kind, copy.block, copy.place, copy_identifier(after), {}, group, write, std::nullopt};
    if (several) line.session = copy.session + 1;
    for (Field field : changes.listed) {
      const bool sealed = field == Field::DomainFlags;
      line.fields.emplace_back(field, sealed ? (*change.write_protect ? "on" : "off") : copy_field_text(after, field));
    }
    plan.lines.push_back(std::move(line));
  }
  for (uint32_t session = 0; session < sessions; ++session) check_file_set(session);
  return plan;
}
