#include "udf/volume.h"

#include <algorithm>

#include "ecma167/dstring.h"
#include "image/bytes.h"
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
  return {bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0})};
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

std::string volume_label(const Volume& volume) {
  const uint32_t last = last_session(volume);
  for (CopyKind kind : {CopyKind::FileSet, CopyKind::LogicalVolume}) {
    for (const LabelCopy& copy : volume.copies) {
      if (copy.kind == kind && copy.verified && copy.session == last) return copy_identifier(copy);
    }
  }
  return {};
}
