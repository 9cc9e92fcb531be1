#include "udf/patch.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "image/console.h"
#include "image/tag.h"
#include "udf/layout.h"
#include "udf/volume_id.h"

namespace {

constexpr std::string_view kOstaCompressedUnicode = "OSTA Compressed Unicode";
constexpr std::string_view kLvInfoIdentifier = "*UDF LV Info";

// A CS0 charspec (1/7.2.1, UDF 2.1.2): type 0, "OSTA Compressed Unicode".
void write_cs0_charspec(BlockSpan descriptor, size_t offset) {
  auto field = descriptor.subspan(offset, charspec::kSize);
  std::fill(field.begin(), field.end(), uint8_t{0});
  field[charspec::kCharacterSetType] = 0;
  std::memcpy(field.data() + charspec::kCharacterSetInfo, kOstaCompressedUnicode.data(),
              kOstaCompressedUnicode.size());
}

template <size_t N>
void write_dstring(BlockSpan descriptor, size_t offset, const std::array<uint8_t, N>& dstring) {
  std::copy(dstring.begin(), dstring.end(), descriptor.subspan(offset, N).begin());
}

const char* descriptor_name(uint16_t tag) {
  switch (tag) {
    case kTagPrimaryVolume: return "Primary Volume Descriptor";
    case kTagImplementationUse: return "Implementation Use Volume Descriptor";
    case kTagLogicalVolume: return "Logical Volume Descriptor";
    default: return "File Set Descriptor";
  }
}

}  // namespace

bool is_lv_info(ConstBlockSpan descriptor) {
  auto text = descriptor.subspan(iuvd::kImplementationIdentifierText, kLvInfoIdentifier.size());
  return std::equal(text.begin(), text.end(), kLvInfoIdentifier.begin());
}

void decode_lv_identifier(std::span<const uint8_t, 128> identifier,
                          std::array<char16_t, kLabelUnits>* out) {
  if (identifier[127] == 0) return;
  const size_t n = dstring_character_bytes(identifier);
  const uint8_t compression = identifier[0];
  if (compression == 8) {
    for (size_t i = 0; i < n; ++i) (*out)[i] = identifier[1 + i];
  } else if (compression == 16 && n > 0) {
    const size_t units = (n + 1) / 2;
    for (size_t k = 0; k < units; ++k) {
      (*out)[k] = static_cast<char16_t>((identifier[1 + 2 * k] << 8) | identifier[2 + 2 * k]);
    }
  }
}

void report_damaged(RelabelContext* ctx, uint32_t block) {
  if (is_query_mode(ctx)) return;
  print_out("Damaged descriptor at block %u left unchanged\n", block);
  ++ctx->damaged;
}

std::optional<IdentifierField> label_field(uint16_t tag) {
  switch (tag) {
    case kTagPrimaryVolume: return IdentifierField{pvd::kVolumeIdentifier, 32};
    case kTagImplementationUse: return IdentifierField{iuvd::kLogicalVolumeIdentifier, 128};
    case kTagLogicalVolume: return IdentifierField{lvd::kLogicalVolumeIdentifier, 128};
    case kTagFileSet: return IdentifierField{fsd::kLogicalVolumeIdentifier, 128};
    default: return std::nullopt;
  }
}

const char* patch_descriptor(BlockSpan descriptor, const LabelDStrings* label, const UuidDigits* uuid) {
  const uint16_t tag = tag_identifier(descriptor);
  if (tag == kTagImplementationUse && !is_lv_info(descriptor)) return nullptr;
  if (tag == kTagPrimaryVolume && uuid != nullptr) write_volume_set_uuid(descriptor, *uuid);
  if (label != nullptr) {
    switch (tag) {
      case kTagPrimaryVolume:
        write_cs0_charspec(descriptor, pvd::kDescriptorCharacterSet);
        write_dstring(descriptor, pvd::kVolumeIdentifier, label->id32);
        break;
      case kTagImplementationUse:
        write_cs0_charspec(descriptor, iuvd::kLviCharset);
        write_dstring(descriptor, iuvd::kLogicalVolumeIdentifier, label->id128);
        break;
      case kTagLogicalVolume:
        write_cs0_charspec(descriptor, lvd::kDescriptorCharacterSet);
        write_dstring(descriptor, lvd::kLogicalVolumeIdentifier, label->id128);
        break;
      case kTagFileSet:
        write_cs0_charspec(descriptor, fsd::kLogicalVolumeIdentifierCharset);
        write_dstring(descriptor, fsd::kLogicalVolumeIdentifier, label->id128);
        write_cs0_charspec(descriptor, fsd::kFileSetCharset);
        write_dstring(descriptor, fsd::kFileSetIdentifier, label->id32);
        break;
      default:
        return nullptr;
    }
  } else if (tag != kTagPrimaryVolume || uuid == nullptr) {
    return nullptr;
  }
  finalize_tag(descriptor, get_u16(descriptor, kTagCrcLengthOffset));
  return descriptor_name(tag);
}

std::string descriptor_identifier(ConstBlockSpan descriptor) {
  const auto field = label_field(tag_identifier(descriptor));
  if (!field || !field_fits(descriptor, field->offset, field->size)) return {};
  return dstring_to_utf8(descriptor.subspan(field->offset, field->size));
}

void plan_descriptor(RelabelContext* ctx, ConstBlockSpan descriptor, uint32_t block, const char* where,
                     WriteGroup group) {
  if (is_query_mode(ctx)) return;
  PlannedWrite write{block, std::vector<uint8_t>(descriptor.begin(), descriptor.end()), "", where, {}, group, {}, {}};
  const char* name = patch_descriptor(write.bytes, ctx->new_label ? &*ctx->new_label : nullptr,
                                      ctx->new_uuid ? &*ctx->new_uuid : nullptr);
  if (name == nullptr) return;
  write.name = name;
  write.identifier = descriptor_identifier(write.bytes);
  ctx->plan.push_back(std::move(write));
}

void record_copy(RelabelContext* ctx, ConstBlockSpan descriptor, uint32_t block, const char* where, bool verified) {
  if (!ctx->reporting) return;
  const uint16_t tag = tag_identifier(descriptor);
  LabelCopy copy{descriptor_name(tag), block, where, verified, {}, {}};
  if (verified) {
    copy.identifier = descriptor_identifier(descriptor);
    if (tag == kTagFileSet) copy.file_set_identifier = dstring_to_utf8(descriptor.subspan(fsd::kFileSetIdentifier, 32));
  }
  ctx->report.copies.push_back(std::move(copy));
}
