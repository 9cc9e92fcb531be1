// On-image field offsets of every UDF structure the tool reads or writes,
// counted from the start of the structure. ECMA-167 section numbers in the
// comments; "UDF" means the OSTA UDF specification.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ecma167/dstring.h"  // kShortDstring, kLongDstring: the d-string fields (1/7.2.12)

// Volume structure descriptor (2/9.1): 2048 bytes each from byte 32768 on,
// one per block of the volume, or per 2048 bytes for smaller blocks.
namespace vsd {
constexpr uint64_t kFirstByte = 32768;
constexpr size_t kScanDescriptors = 10;
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

// Anchor Volume Descriptor Pointer (3/10.2), looked for at block 256, 512,
// N - 256 and N - 1 of an N-block volume (UDF 2.2.3).
namespace avdp {
constexpr uint32_t kFirstBlock = 256;
constexpr uint32_t kSecondBlock = 512;
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
constexpr size_t kVolumeIdentifier = 24;      // dstring[32]
constexpr size_t kVolumeSetIdentifier = 72;   // dstring[128]; the UUID leads it (UDF 2.2.2.5)
constexpr size_t kDescriptorCharacterSet = 200;
constexpr size_t kApplicationIdentifierText = 345;     // identifier bytes of the regid at 344
constexpr size_t kImplementationIdentifierText = 389;  // identifier bytes of the regid at 388
}  // namespace pvd

// Entity identifier (1/7.4, UDF 2.1.5): a flags byte, 23 identifier bytes and
// an 8-byte suffix. A domain identifier's suffix (UDF 2.1.5.3) holds the UDF
// revision and the domain flags.
namespace regid {
constexpr size_t kIdentifierSize = 23;
constexpr size_t kDomainFlagsFromText = 25;  // the flags byte, from the identifier bytes
constexpr uint8_t kHardWriteProtect = 1;
constexpr uint8_t kSoftWriteProtect = 2;
}  // namespace regid

// Implementation Use Volume Descriptor (3/10.4) with the UDF LV Info
// Implementation Use area (UDF 2.2.7.2) from offset 52.
namespace iuvd {
constexpr size_t kImplementationIdentifier = 20;  // regid; identifier bytes from 21
constexpr size_t kImplementationIdentifierText = 21;
constexpr size_t kImplementationRevision = 44;    // u16, first of the regid's UDF suffix
constexpr size_t kLviCharset = 52;
constexpr size_t kLogicalVolumeIdentifier = 116;  // dstring[128]
constexpr size_t kLvInfo1 = 244;                  // dstring[36] each: owner, organization, contact
constexpr size_t kLvInfo2 = 280;
constexpr size_t kLvInfo3 = 316;
constexpr size_t kLvInfoSize = 36;
}  // namespace iuvd

// Partition Descriptor (3/10.5).
namespace pd {
constexpr size_t kPartitionNumber = 22;
constexpr size_t kAccessType = 184;  // u32 (3/10.5.7)
constexpr size_t kStartingLocation = 188;
}  // namespace pd

// Logical Volume Descriptor (3/10.6).
namespace lvd {
constexpr size_t kDescriptorCharacterSet = 20;
constexpr size_t kLogicalVolumeIdentifier = 84;  // dstring[128]
constexpr size_t kDomainIdentifierText = 217;    // identifier bytes of the regid at 216
constexpr size_t kDomainRevision = 240;          // u16, first of the suffix (UDF 2.1.5.3)
constexpr size_t kDomainFlags = kDomainIdentifierText + regid::kDomainFlagsFromText;
constexpr size_t kContentsUse = 248;             // long_ad of the File Set Descriptor
constexpr size_t kNumberOfPartitionMaps = 268;
constexpr size_t kIntegritySequenceExtent = 432;  // extent_ad of the integrity sequence
constexpr size_t kPartitionMaps = 440;
}  // namespace lvd

// Logical Volume Integrity Descriptor (3/10.10): after the fixed part, a
// Free Space Table and a Size Table of 4 bytes per partition each, then the
// Implementation Use, whose UDF layout (UDF 2.2.6.4) is 46 bytes: the
// implementation's regid, the file and directory counts and three revisions.
namespace lvid {
constexpr size_t kIntegrityType = 28;  // u32: 0 open, 1 close (3/10.10.3)
constexpr size_t kNumberOfPartitions = 72;
constexpr size_t kLengthOfImplementationUse = 76;
constexpr size_t kTables = 80;
constexpr size_t kTableBytesPerPartition = 8;
constexpr size_t kMinimumReadRevision = 40;  // u16, within the Implementation Use
constexpr size_t kMinimumWriteRevision = 42;
constexpr size_t kUdfImplementationUseSize = 46;
}  // namespace lvid

// Partition maps (3/10.7): type 1, and type 2 with the UDF layouts (UDF 2.2.8-2.2.10).
namespace pmap {
constexpr size_t kType = 0;
constexpr size_t kLength = 1;
constexpr size_t kType1PartitionNumber = 4;
constexpr size_t kType1Bytes = 6;
constexpr size_t kType2Identifier = 5;  // identifier bytes of the regid at 4
constexpr size_t kType2IdentifierSize = 23;
constexpr size_t kType2Revision = 28;  // u16, first of the regid's UDF suffix
constexpr size_t kType2PartitionNumber = 38;
constexpr size_t kMetadataFileLocation = 40;
constexpr size_t kMetadataMirrorLocation = 44;
constexpr size_t kMetadataFlags = 58;
constexpr size_t kPacketLength = 40;        // sparable (UDF 2.2.9)
constexpr size_t kSparingTableCount = 42;
constexpr size_t kSparingTableSize = 44;
constexpr size_t kSparingTableLocations = 48;
constexpr size_t kType2Bytes = 64;
constexpr size_t kOtherBytes = 2;
}  // namespace pmap

// File Set Descriptor (4/14.1).
namespace fsd {
constexpr size_t kLogicalVolumeIdentifierCharset = 48;
constexpr size_t kLogicalVolumeIdentifier = 112;  // dstring[128]
constexpr size_t kFileSetCharset = 240;
constexpr size_t kFileSetIdentifier = 304;  // dstring[32]
constexpr size_t kDomainIdentifierText = 417;  // identifier bytes of the regid at 416
constexpr size_t kDomainRevision = 440;
constexpr size_t kDomainFlags = kDomainIdentifierText + regid::kDomainFlagsFromText;
// The part of the descriptor Windows sums into the volume's serial number.
constexpr size_t kSerialNumberBytes = 512;
}  // namespace fsd

// Sparing Table (UDF 2.2.12), tag identifier 0, possibly several blocks long.
namespace sparing {
constexpr size_t kIdentifier = 17;  // identifier bytes of the regid at 16
constexpr size_t kIdentifierSize = 23;
constexpr size_t kReallocationTableLength = 48;
constexpr size_t kMapEntries = 56;
constexpr size_t kEntrySize = 8;
constexpr size_t kOriginalLocation = 0;
constexpr size_t kMappedLocation = 4;
constexpr size_t kMinimumSize = 56;
// No more entries than Reallocation Table Length (u16) can count.
constexpr size_t kLargestTable = kMapEntries + kEntrySize * 65535;
}  // namespace sparing

// File Entry (4/14.9) and Extended File Entry (4/14.17).
namespace fe {
constexpr size_t kFileType = 27;     // icbtag (4/14.6) at 16, File Type at its offset 11
constexpr size_t kIcbTagFlags = 34;  // bits 0-2: allocation descriptor type (4/14.6.8)
constexpr size_t kInformationLength = 56;  // u64, also in the Extended File Entry
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
constexpr size_t kSize = 20;
}  // namespace ext_ad

// Virtual Allocation Table (UDF 2.2.11): the UDF 2.00 form is a file of type
// 248 with a header; the UDF 1.50 form ends with a regid and the previous
// VAT's location.
namespace vat {
constexpr uint8_t kFileType200 = 248;
constexpr size_t kHeaderLength = 0;  // u16 L_HD
constexpr size_t kLogicalVolumeIdentifier = 4;  // dstring[128]
constexpr size_t kMinimumReadRevision = 144;    // u16 each, in the 2.00 header
constexpr size_t kMinimumWriteRevision = 146;
constexpr size_t kEntrySize = 4;
constexpr size_t kTrailer150Size = 36;  // regid, then u32 previous VAT location
constexpr size_t kTrailerIdentifier = 1;
constexpr size_t kTrailerIdentifierSize = 23;
}  // namespace vat

// Extended Attribute Header Descriptor (4/14.10.1) and implementation use
// extended attributes (4/14.10.8), with UDF's VAT LVExtension (UDF 3.3.4.5.1.3).
namespace ea {
constexpr size_t kImplementationAttributesLocation = 16;
constexpr size_t kAttributeType = 0;
constexpr size_t kAttributeLength = 8;
constexpr size_t kImplementationIdentifier = 17;  // identifier bytes of the regid at 16
constexpr size_t kImplementationIdentifierSize = 23;
constexpr size_t kImplementationUse = 48;
constexpr uint32_t kImplementationUseType = 2048;
constexpr size_t kLvExtensionIdentifier = 18;  // dstring[128] within the implementation use
}  // namespace ea
