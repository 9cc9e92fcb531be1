#include "udf/patch.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "image/tag.h"
#include "udf/layout.h"

namespace {

constexpr std::string_view kOstaCompressedUnicode = "OSTA Compressed Unicode";
constexpr std::string_view kLvInfoIdentifier = "*UDF LV Info";

// A CS0 charspec (1/7.2.1, UDF 2.1.2): type 0, "OSTA Compressed Unicode".
void write_cs0_charspec(SectorSpan descriptor, size_t offset) {
  auto field = descriptor.subspan(offset, charspec::kSize);
  std::fill(field.begin(), field.end(), uint8_t{0});
  field[charspec::kCharacterSetType] = 0;
  std::memcpy(field.data() + charspec::kCharacterSetInfo, kOstaCompressedUnicode.data(),
              kOstaCompressedUnicode.size());
}

template <size_t N>
void write_dstring(SectorSpan descriptor, size_t offset, const std::array<uint8_t, N>& dstring) {
  std::copy(dstring.begin(), dstring.end(), descriptor.subspan(offset, N).begin());
}

// Only the UDF logical volume information layout (UDF 2.2.7.2) is known; the
// Implementation Use area of any other implementation is not ours to write.
bool is_lv_info(ConstSectorSpan descriptor) {
  auto text = descriptor.subspan(iuvd::kImplementationIdentifierText, kLvInfoIdentifier.size());
  return std::equal(text.begin(), text.end(), kLvInfoIdentifier.begin());
}

}  // namespace

void decode_lv_identifier(std::span<const uint8_t, 128> identifier,
                          std::array<char16_t, kLabelUnits>* out) {
  const size_t length = identifier[127];
  if (length == 0) return;
  const size_t n = std::min<size_t>(length - 1, 126);
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

bool patch_and_write_descriptor(RelabelContext* ctx, SectorSpan descriptor, uint32_t sector) {
  const uint16_t tag = tag_identifier(descriptor);
  if (tag == kTagFileSet && ctx->captured_label[0] == 0) {
    decode_lv_identifier(descriptor.subspan<fsd::kLogicalVolumeIdentifier, 128>(),
                         &ctx->captured_label);
  }
  if (is_query_mode(ctx)) return true;

  switch (tag) {
    case kTagPrimaryVolume:
      write_cs0_charspec(descriptor, pvd::kDescriptorCharacterSet);
      write_dstring(descriptor, pvd::kVolumeIdentifier, ctx->new_id32);
      break;
    case kTagImplementationUse:
      if (!is_lv_info(descriptor)) return true;
      write_cs0_charspec(descriptor, iuvd::kLviCharset);
      write_dstring(descriptor, iuvd::kLogicalVolumeIdentifier, ctx->new_id128);
      break;
    case kTagLogicalVolume:
      write_cs0_charspec(descriptor, lvd::kDescriptorCharacterSet);
      write_dstring(descriptor, lvd::kLogicalVolumeIdentifier, ctx->new_id128);
      break;
    case kTagFileSet:
      write_cs0_charspec(descriptor, fsd::kLogicalVolumeIdentifierCharset);
      write_dstring(descriptor, fsd::kLogicalVolumeIdentifier, ctx->new_id128);
      write_cs0_charspec(descriptor, fsd::kFileSetCharset);
      write_dstring(descriptor, fsd::kFileSetIdentifier, ctx->new_id32);
      break;
    default:
      return true;
  }
  finalize_tag(descriptor, get_u16(descriptor, kTagCrcLengthOffset));
  write_sector(ctx, sector, descriptor);
  return true;
}
