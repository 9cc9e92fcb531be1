#include "udf/descriptors.h"

#include <array>
#include <string_view>

#include "ecma167/tag.h"
#include "udf/layout.h"

namespace {

constexpr std::string_view kLvInfoIdentifier = "*UDF LV Info";

constexpr std::array<LabelDescriptor, 5> kLabelDescriptors = {{
    {CopyKind::PrimaryVolume, kTagPrimaryVolume, "Primary Volume Descriptor",
     {pvd::kVolumeIdentifier, kShortDstring, pvd::kDescriptorCharacterSet}, std::nullopt},
    {CopyKind::LvInfo, kTagImplementationUse, "Implementation Use Volume Descriptor",
     {iuvd::kLogicalVolumeIdentifier, kLongDstring, iuvd::kLviCharset}, std::nullopt},
    {CopyKind::LogicalVolume, kTagLogicalVolume, "Logical Volume Descriptor",
     {lvd::kLogicalVolumeIdentifier, kLongDstring, lvd::kDescriptorCharacterSet}, std::nullopt},
    {CopyKind::FileSet, kTagFileSet, "File Set Descriptor",
     {fsd::kLogicalVolumeIdentifier, kLongDstring, fsd::kLogicalVolumeIdentifierCharset},
     LabelField{fsd::kFileSetIdentifier, kShortDstring, fsd::kFileSetCharset}},
    {CopyKind::Vat, 0, "Virtual Allocation Table", {0, kLongDstring, std::nullopt}, std::nullopt},
}};

}  // namespace

const LabelDescriptor& label_descriptor(CopyKind kind) { return kLabelDescriptors[static_cast<size_t>(kind)]; }

std::optional<CopyKind> label_kind(std::span<const uint8_t> descriptor) {
  const uint16_t tag = tag_identifier(descriptor);
  if (tag == kTagImplementationUse &&
      !(field_fits(descriptor, iuvd::kImplementationIdentifierText, kLvInfoIdentifier.size()) &&
        bytes_are(descriptor.subspan(iuvd::kImplementationIdentifierText, kLvInfoIdentifier.size()),
                  kLvInfoIdentifier))) {
    return std::nullopt;
  }
  for (const LabelDescriptor& entry : kLabelDescriptors) {
    if (entry.tag == tag && entry.kind != CopyKind::Vat) return entry.kind;
  }
  return std::nullopt;
}
