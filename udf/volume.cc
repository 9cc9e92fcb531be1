#include "udf/volume.h"

#include "ecma167/dstring.h"
#include "image/bytes.h"

size_t label_offset(const LabelCopy& copy) {
  return copy.kind == CopyKind::Vat ? copy.field : label_descriptor(copy.kind).label.offset;
}

std::string copy_identifier(const LabelCopy& copy) {
  if (!copy.verified) return {};
  const LabelField& field = label_descriptor(copy.kind).label;
  const size_t offset = label_offset(copy);
  if (!field_fits(copy.bytes, offset, field.size)) return {};
  return dstring_to_utf8(std::span(copy.bytes).subspan(offset, field.size));
}

std::string copy_file_set_identifier(const LabelCopy& copy) {
  const auto& second = label_descriptor(copy.kind).second;
  if (!copy.verified || !second || !field_fits(copy.bytes, second->offset, second->size)) return {};
  return dstring_to_utf8(std::span(copy.bytes).subspan(second->offset, second->size));
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
