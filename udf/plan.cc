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

// The new label as the d-string `field` holds it, and its charspec.
void add_label(std::vector<FieldChange>* changes, const LabelField& field, size_t offset,
               const LabelDStrings& label) {
  if (field.charset) changes->push_back(cs0_charspec(*field.charset));
  if (field.size == label.id32.size()) {
    changes->push_back(FieldChange{offset, {label.id32.begin(), label.id32.end()}});
  } else {
    changes->push_back(FieldChange{offset, {label.id128.begin(), label.id128.end()}});
  }
}

void apply_changes(std::vector<uint8_t>* bytes, const std::vector<FieldChange>& changes) {
  for (const FieldChange& change : changes) {
    if (!field_fits(*bytes, change.offset, change.bytes.size())) continue;
    std::copy(change.bytes.begin(), change.bytes.end(), bytes->begin() + static_cast<ptrdiff_t>(change.offset));
  }
}

// Whether `change` rewrites copies of `kind`: a Primary Volume Descriptor
// for a new label or UUID, the others for a new label.
bool rewrites(const Change& change, CopyKind kind) {
  return change.label.has_value() || (kind == CopyKind::PrimaryVolume && change.uuid.has_value());
}

// The field changes of one verified copy.
std::vector<FieldChange> copy_changes(const LabelCopy& copy, const Change& change) {
  const LabelDescriptor& table = label_descriptor(copy.kind);
  std::vector<FieldChange> changes;
  if (copy.kind == CopyKind::PrimaryVolume && change.uuid &&
      field_fits(copy.bytes, pvd::kVolumeSetIdentifier, kLongDstring)) {
    std::vector<uint8_t> patched = copy.bytes;
    write_volume_set_uuid(patched, *change.uuid);
    const auto field = std::span(patched).subspan(pvd::kVolumeSetIdentifier, kLongDstring);
    changes.push_back(FieldChange{pvd::kVolumeSetIdentifier, {field.begin(), field.end()}});
  }
  if (change.label) {
    add_label(&changes, table.label, label_offset(copy), *change.label);
    if (table.second) add_label(&changes, *table.second, table.second->offset, *change.label);
  }
  return changes;
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
    // After a failed read the File Set Descriptor may be there unread.
    if (!change.label || volume.read_error) return;
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
    WriteGroup group = WriteGroup::Second;
    if (copy.place == CopyPlace::MainSequence) group = WriteGroup::First;
    if (copy.kind == CopyKind::FileSet && copy.session < sessions && !file_set_planned[copy.session]) {
      group = WriteGroup::First;
      file_set_planned[copy.session] = true;
    }
    std::vector<FieldChange> changes = copy_changes(copy, change);
    LabelCopy after = copy;  // as it will be written
    apply_changes(&after.bytes, changes);
    const size_t write = add_write(&plan, copy, std::move(changes), group);
    std::optional<uint32_t> session;
    if (several) session = copy.session + 1;
    plan.lines.push_back(PlanLine{copy.kind, copy.block, copy.place, copy_identifier(after), group, write, session});
  }
  for (uint32_t session = 0; session < sessions; ++session) check_file_set(session);
  return plan;
}
