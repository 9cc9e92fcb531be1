// On-image field offsets of every UDF structure the tool reads or writes,
// counted from the start of the structure. ECMA-167 section numbers in the
// comments; "UDF" means the OSTA UDF specification.
#pragma once

#include <cstddef>

// Volume structure descriptor, one per sector from sector 16 on (2/9.1).
namespace vsd {
constexpr size_t kFirstSector = 16;
constexpr size_t kScanSectors = 10;
constexpr size_t kStructureType = 0;
constexpr size_t kStandardIdentifier = 1;
constexpr size_t kStandardIdentifierSize = 5;
constexpr size_t kStructureVersion = 6;
}  // namespace vsd

// extent_ad (3/7.1).
namespace extent_ad {
constexpr size_t kLength = 0;
constexpr size_t kLocation = 4;
}  // namespace extent_ad

// long_ad (4/14.14.2).
namespace long_ad {
constexpr size_t kLength = 0;
constexpr size_t kLogicalBlock = 4;
constexpr size_t kPartitionReference = 8;
constexpr size_t kSize = 16;
}  // namespace long_ad

// Anchor Volume Descriptor Pointer (3/10.2).
namespace avdp {
constexpr size_t kSector = 256;
constexpr size_t kMainSequenceExtent = 16;
constexpr size_t kReserveSequenceExtent = 24;
}  // namespace avdp

// charspec (1/7.2.1) and d-strings (1/7.2.12).
namespace charspec {
constexpr size_t kSize = 64;
constexpr size_t kCharacterSetType = 0;
constexpr size_t kCharacterSetInfo = 1;
}  // namespace charspec

// Primary Volume Descriptor (3/10.1).
namespace pvd {
constexpr size_t kVolumeIdentifier = 24;  // dstring[32]
constexpr size_t kDescriptorCharacterSet = 200;
}  // namespace pvd

// Implementation Use Volume Descriptor (3/10.4) with the UDF LV Info
// Implementation Use area (UDF 2.2.7.2) from offset 52.
namespace iuvd {
constexpr size_t kImplementationIdentifier = 20;  // regid; identifier bytes from 21
constexpr size_t kImplementationIdentifierText = 21;
constexpr size_t kLviCharset = 52;
constexpr size_t kLogicalVolumeIdentifier = 116;  // dstring[128]
}  // namespace iuvd

// Partition Descriptor (3/10.5).
namespace pd {
constexpr size_t kPartitionNumber = 22;
constexpr size_t kStartingLocation = 188;
constexpr size_t kLength = 192;
}  // namespace pd

// Logical Volume Descriptor (3/10.6).
namespace lvd {
constexpr size_t kDescriptorCharacterSet = 20;
constexpr size_t kLogicalVolumeIdentifier = 84;  // dstring[128]
constexpr size_t kContentsUse = 248;             // long_ad of the File Set Descriptor
constexpr size_t kNumberOfPartitionMaps = 268;
constexpr size_t kPartitionMaps = 440;
}  // namespace lvd

// Partition maps (3/10.7): type 1, and type 2 with the UDF layouts (UDF 2.2.8-2.2.10).
namespace pmap {
constexpr size_t kType = 0;
constexpr size_t kLength = 1;
constexpr size_t kType1PartitionNumber = 4;
constexpr size_t kType1Bytes = 6;
constexpr size_t kType2Identifier = 5;  // identifier bytes of the regid at 4
constexpr size_t kType2IdentifierSize = 23;
constexpr size_t kType2PartitionNumber = 38;
constexpr size_t kMetadataFileLocation = 40;
constexpr size_t kMetadataMirrorLocation = 44;
constexpr size_t kMetadataFlags = 58;
constexpr size_t kType2Bytes = 64;
constexpr size_t kOtherBytes = 2;
}  // namespace pmap

// File Set Descriptor (4/14.1).
namespace fsd {
constexpr size_t kLogicalVolumeIdentifierCharset = 48;
constexpr size_t kLogicalVolumeIdentifier = 112;  // dstring[128]
constexpr size_t kFileSetCharset = 240;
constexpr size_t kFileSetIdentifier = 304;  // dstring[32]
}  // namespace fsd

// File Entry (4/14.9) and Extended File Entry (4/14.17).
namespace fe {
constexpr size_t kIcbTagFlags = 34;  // bits 0-2: allocation descriptor type (4/14.6.8)
constexpr size_t kLengthOfExtendedAttributes = 168;
constexpr size_t kLengthOfAllocationDescriptors = 172;
constexpr size_t kExtendedAttributes = 176;
}  // namespace fe
namespace efe {
constexpr size_t kLengthOfExtendedAttributes = 208;
constexpr size_t kLengthOfAllocationDescriptors = 212;
constexpr size_t kExtendedAttributes = 216;
}  // namespace efe

// Allocation descriptors: short_ad (4/14.14.1), long_ad (4/14.14.2),
// ext_ad (4/14.14.3).
namespace short_ad {
constexpr size_t kLength = 0;
constexpr size_t kPosition = 4;
constexpr size_t kSize = 8;
}  // namespace short_ad
namespace ext_ad {
constexpr size_t kExtentLength = 0;
constexpr size_t kLocation = 12;
constexpr size_t kPartitionReference = 16;
constexpr size_t kSize = 20;
}  // namespace ext_ad
