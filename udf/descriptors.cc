#include "udf/descriptors.h"

#include <array>
#include <string_view>

#include "ecma167/tag.h"
#include "udf/layout.h"

namespace {

constexpr std::string_view kLvInfoIdentifier = "*UDF LV Info";
constexpr std::string_view kUdfDomain{"*OSTA UDF Compliant\0\0\0\0", regid::kIdentifierSize};

constexpr std::array<LabelDescriptor, 5> kLabelDescriptors = {{
    {CopyKind::PrimaryVolume, kTagPrimaryVolume, "Primary Volume Descriptor", Field::VolumeIdentifier},
    {CopyKind::LvInfo, kTagImplementationUse, "Implementation Use Volume Descriptor", Field::LogicalVolumeIdentifier},
    {CopyKind::LogicalVolume, kTagLogicalVolume, "Logical Volume Descriptor", Field::LogicalVolumeIdentifier},
    {CopyKind::FileSet, kTagFileSet, "File Set Descriptor", Field::LogicalVolumeIdentifier},
    {CopyKind::Vat, 0, "Virtual Allocation Table", Field::LogicalVolumeIdentifier},
}};

using K = CopyKind;
using F = Field;
constexpr FieldForm kDstring = FieldForm::Dstring;

// 3/10.1 (PVD), UDF 2.2.7.2 (LV Info), 3/10.6 (LVD), 4/14.1 (FSD), UDF 2.2.11 (VAT).
constexpr std::array<FieldPlace, 14> kFieldPlaces = {{
    {K::PrimaryVolume, F::VolumeIdentifier, kDstring, pvd::kVolumeIdentifier, kShortDstring,
     pvd::kDescriptorCharacterSet},
    {K::PrimaryVolume, F::VolumeSetIdentifier, kDstring, pvd::kVolumeSetIdentifier, kLongDstring,
     pvd::kDescriptorCharacterSet},
    {K::PrimaryVolume, F::ApplicationIdentifier, FieldForm::EntityIdentifier, pvd::kApplicationIdentifierText,
     regid::kIdentifierSize, std::nullopt},
    {K::PrimaryVolume, F::ImplementationIdentifier, FieldForm::EntityIdentifier,
     pvd::kImplementationIdentifierText, regid::kIdentifierSize, std::nullopt},
    {K::LvInfo, F::LogicalVolumeIdentifier, kDstring, iuvd::kLogicalVolumeIdentifier, kLongDstring, iuvd::kLviCharset},
    {K::LvInfo, F::Owner, kDstring, iuvd::kLvInfo1, iuvd::kLvInfoSize, iuvd::kLviCharset},
    {K::LvInfo, F::Organization, kDstring, iuvd::kLvInfo2, iuvd::kLvInfoSize, iuvd::kLviCharset},
    {K::LvInfo, F::Contact, kDstring, iuvd::kLvInfo3, iuvd::kLvInfoSize, iuvd::kLviCharset},
    {K::LogicalVolume, F::LogicalVolumeIdentifier, kDstring, lvd::kLogicalVolumeIdentifier, kLongDstring,
     lvd::kDescriptorCharacterSet},
    {K::LogicalVolume, F::DomainFlags, FieldForm::DomainFlags, lvd::kDomainFlags, 1, std::nullopt},
    {K::FileSet, F::LogicalVolumeIdentifier, kDstring, fsd::kLogicalVolumeIdentifier, kLongDstring,
     fsd::kLogicalVolumeIdentifierCharset},
    {K::FileSet, F::FileSetIdentifier, kDstring, fsd::kFileSetIdentifier, kShortDstring, fsd::kFileSetCharset},
    {K::FileSet, F::DomainFlags, FieldForm::DomainFlags, fsd::kDomainFlags, 1, std::nullopt},
    {K::Vat, F::LogicalVolumeIdentifier, kDstring, 0, kLongDstring, std::nullopt},
}};

}  // namespace

std::span<const FieldPlace> field_places() { return kFieldPlaces; }

std::optional<FieldPlace> field_place(CopyKind kind, Field field) {
  for (const FieldPlace& place : kFieldPlaces) {
    if (place.kind == kind && place.field == field) return place;
  }
  return std::nullopt;
}

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

bool is_udf_domain(std::span<const uint8_t> descriptor, size_t offset) {
  return field_fits(descriptor, offset, regid::kIdentifierSize) &&
         bytes_are(descriptor.subspan(offset, regid::kIdentifierSize), kUdfDomain);
}
