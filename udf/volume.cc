#include "udf/volume.h"

#include <algorithm>

#include "ecma167/dstring.h"
#include "image/bytes.h"
#include "image/utf.h"
#include "udf/layout.h"

size_t field_offset(const LabelCopy& copy, const FieldPlace& place) {
  return copy.kind == CopyKind::Vat ? copy.field : place.offset;
}

std::string copy_field_text(const LabelCopy& copy, Field field) {
  const std::optional<FieldPlace> place = field_place(copy.kind, field);
  if (!copy.verified || !place) return {};
  const size_t offset = field_offset(copy, *place);
  if (!field_fits(copy.bytes, offset, place->size)) return {};
  const auto bytes = std::span(copy.bytes).subspan(offset, place->size);
  if (place->form == FieldForm::Dstring) return dstring_to_utf8(bytes);
  // An entity identifier's bytes up to the first zero, each a Latin-1 character.
  std::string text;
  for (size_t i = 0; i < bytes.size() && bytes[i] != 0; ++i) append_utf8(bytes[i], &text);
  return text;
}

size_t volume_set_characters(const LabelCopy& copy) {
  if (!field_fits(copy.bytes, pvd::kVolumeSetIdentifier, kLongDstring)) return 0;
  return dstring_characters(std::span(copy.bytes).subspan(pvd::kVolumeSetIdentifier, kLongDstring)).size();
}

std::string copy_identifier(const LabelCopy& copy) {
  return copy_field_text(copy, label_descriptor(copy.kind).shown);
}

uint32_t last_session(const Volume& volume) {
  return volume.sessions.empty() ? 0 : static_cast<uint32_t>(volume.sessions.size() - 1);
}

std::optional<UdfRevisions> declared_revisions(const Volume& volume) {
  const uint32_t last = last_session(volume);
  bool any = false;
  UdfRevisions declared;
  uint16_t maps = 0;
  for (const LabelCopy& copy : volume.copies) {
    if (!copy.verified || copy.session != last) continue;
    const auto revision = [&](size_t offset) {
      return field_fits(copy.bytes, offset, 2) ? get_u16(copy.bytes, offset) : uint16_t{0};
    };
    if (copy.kind == CopyKind::LogicalVolume) {
      declared.read = std::max(declared.read, revision(lvd::kDomainRevision));
      // The type 2 maps' suffixes, within the descriptor's block; a map of
      // length 0 ends them.
      const uint32_t count = field_fits(copy.bytes, lvd::kNumberOfPartitionMaps, 4)
                                 ? get_u32(copy.bytes, lvd::kNumberOfPartitionMaps)
                                 : 0;
      size_t at = lvd::kPartitionMaps;
      for (uint32_t k = 0; k < count && field_fits(copy.bytes, at, pmap::kOtherBytes); ++k) {
        const uint8_t length = copy.bytes[at + pmap::kLength];
        if (length == 0) break;
        if (copy.bytes[at + pmap::kType] == 2) maps = std::max(maps, revision(at + pmap::kType2Revision));
        at += length;
      }
    } else if (copy.kind == CopyKind::LvInfo) {
      declared.read = std::max(declared.read, revision(iuvd::kImplementationRevision));
    } else {
      continue;
    }
    any = true;
  }
  declared.write = std::max(declared.read, maps);
  if (volume.integrity_revisions && declared.read >= 0x0102) {
    declared.read = volume.integrity_revisions->read;
    declared.write = std::max(declared.write, volume.integrity_revisions->write);
    any = true;
  }
  if (volume.vat_revisions) {
    declared.read = volume.vat_revisions->read;
    declared.write = std::max(declared.write, volume.vat_revisions->write);
    any = true;
  }
  const LabelCopy* file_set = first_verified(volume, CopyKind::FileSet);
  if (file_set != nullptr && field_fits(file_set->bytes, fsd::kDomainRevision, 2)) {
    declared.write = std::max(declared.write, get_u16(file_set->bytes, fsd::kDomainRevision));
    any = true;
  }
  if (!any) return std::nullopt;
  return declared;
}

const LabelCopy* first_verified(const Volume& volume, CopyKind kind) {
  const uint32_t last = last_session(volume);
  for (const LabelCopy& copy : volume.copies) {
    if (copy.kind == kind && copy.verified && copy.session == last) return &copy;
  }
  return nullptr;
}

std::string volume_label(const Volume& volume) {
  for (CopyKind kind : {CopyKind::FileSet, CopyKind::LogicalVolume}) {
    if (const LabelCopy* copy = first_verified(volume, kind)) return copy_identifier(*copy);
  }
  return {};
}
