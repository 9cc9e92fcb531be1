#include "udf/scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "ecma167/tag.h"
#include "udf/layout.h"
#include "udf/partition.h"
#include "udf/sessions.h"
#include "udf/vat.h"
#include "udf/volume_id.h"

namespace {

constexpr std::array<uint32_t, 7> kBlockSizes = {512, 1024, 2048, 4096, 8192, 16384, 32768};
// Images shorter than this cannot hold the anchor at 2048-byte block 256.
constexpr uint64_t kAnchorAreaBytes = uint64_t{257} * 2048;
constexpr uint32_t kChunkBlocks = 16;

// Bit set of the NSR descriptors seen in the Volume Recognition Sequence.
using RecognitionFlags = uint32_t;
constexpr RecognitionFlags kSeenNsr02 = 4;
constexpr RecognitionFlags kSeenNsr03 = 8;

// Scans the Volume Recognition Sequence with descriptors `stride` bytes apart
// for NSR02 or NSR03 (ECMA-167 2/9.1), up to and including the first
// descriptor whose Structure Version is 0. The image must hold all ten.
RecognitionFlags scan_recognition_sequence(ImageContext* image, uint32_t stride) {
  if (image->image_bytes < vsd::kFirstByte + uint64_t{stride} * (vsd::kScanDescriptors - 1) + kDescriptorSize) {
    return 0;
  }
  std::array<uint8_t, kDescriptorSize> descriptor{};
  RecognitionFlags flags = 0;
  for (size_t k = 0; k < vsd::kScanDescriptors; ++k) {
    if (read_bytes(image, vsd::kFirstByte + uint64_t{stride} * k, descriptor) != descriptor.size()) return 0;
    const auto identifier = std::span(descriptor).subspan(vsd::kStandardIdentifier, vsd::kStandardIdentifierSize);
    if (std::memcmp(identifier.data(), "NSR02", identifier.size()) == 0) flags |= kSeenNsr02;
    if (std::memcmp(identifier.data(), "NSR03", identifier.size()) == 0) flags |= kSeenNsr03;
    if (get_u8(descriptor, vsd::kStructureVersion) == 0) break;
  }
  return flags;
}

// The anchor's candidate blocks (UDF 2.2.3), in the order they are tried.
std::array<std::optional<uint32_t>, 4> anchor_candidates(uint64_t blocks) {
  std::array<std::optional<uint32_t>, 4> candidates{};
  const auto add = [&](size_t i, uint64_t block) {
    if (block >= blocks || block > UINT32_MAX) return;
    for (size_t j = 0; j < i; ++j) {
      if (candidates[j] == block) return;
    }
    candidates[i] = static_cast<uint32_t>(block);
  };
  add(0, avdp::kFirstBlock);
  add(1, avdp::kSecondBlock);
  if (blocks >= 256) add(2, blocks - 256);
  if (blocks >= 1) add(3, blocks - 1);
  return candidates;
}

// Reads the block `block` into `descriptor`: an Anchor Volume Descriptor
// Pointer (3/10.2) that verifies there.
bool read_anchor(ImageContext* image, uint32_t block, BlockSpan descriptor) {
  return read_sectors(image, block, 1, descriptor) == 1 && verifies_as(descriptor, kTagAnchorPointer, block);
}

// The block size and the anchor's bytes; none, with why, when no size
// qualifies.
std::optional<std::vector<uint8_t>> find_anchor(ImageContext* image, ScanFailure* failure) {
  std::array<std::optional<RecognitionFlags>, 5> scans{};  // by stride 2048 << i
  bool recognised = false;
  for (uint32_t size : kBlockSizes) {
    const uint32_t stride = std::max(size, kDescriptorSize);
    auto& scan = scans[static_cast<size_t>(std::countr_zero(stride / kDescriptorSize))];
    if (!scan) scan = scan_recognition_sequence(image, stride);
    if (*scan == 0) continue;
    recognised = true;
    image->block_size = size;
    image->image_blocks = image->image_bytes / size;
    std::vector<uint8_t> anchor(size, 0);
    for (const auto& candidate : anchor_candidates(image->image_blocks)) {
      if (candidate && read_anchor(image, *candidate, anchor)) return anchor;
    }
  }
  *failure = !recognised                           ? ScanFailure::NoFileSystem
             : image->image_bytes < kAnchorAreaBytes ? ScanFailure::ShortImage
                                                     : ScanFailure::NoAnchor;
  return std::nullopt;
}

// One session's scan: its Volume and what the walks gather on the way.
struct ScanState {
  ImageContext* image = nullptr;
  Volume volume{};
  uint32_t start = 0;
  SequenceExtent main_extent;
  SequenceExtent reserve_extent;
  SequenceFindings main{};
  SequenceFindings reserve{};
  // long_ad of the File Set Descriptor from a Logical Volume Descriptor's
  // Logical Volume Contents Use; an extent length of 0 means none is known.
  std::array<uint8_t, long_ad::kSize> fsd_location{};
  bool have_logical_volume = false;
  // The Access Type of the first verified Partition Descriptor of each
  // sequence.
  std::optional<uint32_t> main_access{};
  std::optional<uint32_t> reserve_access{};
  uint32_t integrity_length = 0;
  uint32_t integrity_location = 0;
};

void take_logical_volume(ScanState* state, ConstBlockSpan descriptor, SequenceFindings* findings, bool main) {
  if (get_u32(state->fsd_location, long_ad::kLength) == 0) {
    const auto contents = descriptor.subspan(lvd::kContentsUse, long_ad::kSize);
    std::copy(contents.begin(), contents.end(), state->fsd_location.begin());
  }
  if (!state->have_logical_volume) {
    state->have_logical_volume = true;
    state->volume.domain_revision = domain_revision(descriptor);
    state->integrity_length = get_u32(descriptor, lvd::kIntegritySequenceExtent + extent_ad::kLength);
    state->integrity_location = get_u32(descriptor, lvd::kIntegritySequenceExtent + extent_ad::kLocation);
  }
  // The main sequence's last Logical Volume Descriptor gives the maps; the
  // reserve sequence's first one stands in when the main sequence has none.
  if (main || !findings->has_maps) {
    findings->maps = read_partition_maps(descriptor);
    findings->has_maps = true;
  }
}

// Walks one volume descriptor sequence (3/8.4) in chunks of 16 blocks. Each
// Primary, Implementation Use, Partition, Logical Volume and Unallocated
// Space Descriptor is passed over; any other tag identifier ends the walk,
// as does the end of the image. Every label-carrying descriptor becomes a
// copy; of the others only those that verify are used: Partition
// Descriptors are kept in the sequence's findings, Logical Volume
// Descriptors give the File Set Descriptor's location (the first with one)
// and the partition maps.
void walk_sequence(ScanState* state, SequenceExtent extent, CopyPlace place) {
  ImageContext* image = state->image;
  const uint32_t size = image->block_size;
  const uint32_t total = extent.length / size;
  const uint32_t first = extent.location;
  const std::span<uint8_t> chunk = scratch_bytes(image, size_t{kChunkBlocks} * size);
  const bool main = place == CopyPlace::MainSequence;
  SequenceFindings* findings = main ? &state->main : &state->reserve;

  uint32_t slots_read = 0;
  for (uint32_t i = 0; i < total; ++i) {
    const uint32_t slot = i % kChunkBlocks;
    const uint32_t block = first + i;
    if (slot == 0) {
      // A sequence that would run past block 2^32 - 1 ends there.
      if (block < first) break;
      slots_read = read_sectors(image, block, kChunkBlocks, chunk);
    }
    // The image ended inside this chunk: the sequence ends with it, and no
    // slot left over from an earlier chunk is looked at.
    if (slot >= slots_read) break;

    const ConstBlockSpan descriptor = chunk.subspan(size_t{slot} * size, size);
    const uint16_t tag = tag_identifier(descriptor);
    if (tag != kTagPrimaryVolume && tag != kTagImplementationUse && tag != kTagPartition &&
        tag != kTagLogicalVolume && tag != kTagUnallocatedSpace) {
      break;  // Terminating Descriptor, pointer, empty block or anything else
    }
    const auto kind = label_kind(descriptor);
    const bool verified = tag_verifies(descriptor, block);
    if (kind) {
      state->volume.copies.push_back(
          LabelCopy{*kind, block, place, verified, std::vector<uint8_t>(descriptor.begin(), descriptor.end()), 0, true});
    }
    if (!verified) continue;
    if (tag == kTagPartition) {
      std::optional<uint32_t>& access = main ? state->main_access : state->reserve_access;
      if (!access) access = get_u32(descriptor, pd::kAccessType);
      if (findings->record_count < findings->records.size()) {
        findings->records[findings->record_count++] =
            PartitionRecord{get_u32(descriptor, pd::kStartingLocation), get_u16(descriptor, pd::kPartitionNumber)};
      }
    } else if (tag == kTagLogicalVolume) {
      take_logical_volume(state, descriptor, findings, main);
    } else if (tag == kTagPrimaryVolume && !state->volume.volume_set_identifier) {
      const auto identifier = descriptor.subspan<pvd::kVolumeSetIdentifier, kLongDstring>();
      state->volume.volume_set_identifier.emplace();
      std::copy(identifier.begin(), identifier.end(), state->volume.volume_set_identifier->begin());
    }
  }
}

// One copy of the File Set Descriptor at absolute `block`: a block of tag
// identifier 256 there (its Tag Location is `location`, the logical block the
// Logical Volume Descriptor gives) is a copy, verified or not.
void read_file_set_copy(ScanState* state, uint32_t block, uint32_t location, CopyPlace place) {
  std::vector<uint8_t> bytes(state->image->block_size, 0);
  if (read_sectors(state->image, block, 1, bytes) != 1 || tag_identifier(bytes) != kTagFileSet) return;
  state->volume.file_set_found = true;
  const bool verified = tag_verifies(bytes, location);
  state->volume.copies.push_back(LabelCopy{CopyKind::FileSet, block, place, verified, std::move(bytes), 0, true});
}

// The copy in the partition the Logical Volume Descriptor names, or for a
// metadata partition the metadata file's copy and, at another block, the
// mirror's.
void read_file_set(ScanState* state) {
  if (get_u32(state->fsd_location, long_ad::kLength) == 0) return;
  const std::vector<PartitionEntry>& partitions = state->volume.partitions;
  const uint16_t reference = get_u16(state->fsd_location, long_ad::kPartitionReference);
  const uint32_t location = get_u32(state->fsd_location, long_ad::kLogicalBlock);
  const auto main = map_block_to_sector(state->image, partitions, reference, location, ExtentList::Main);
  if (main) read_file_set_copy(state, *main, location, CopyPlace::FileSet);
  if (reference < partitions.size() && partitions[reference].kind == PartitionKind::Metadata) {
    const auto mirror = map_block_to_sector(state->image, partitions, reference, location, ExtentList::Mirror);
    if (mirror && mirror != main) read_file_set_copy(state, *mirror, location, CopyPlace::MetadataMirror);
  }
}

// The Integrity Type and UDF revisions of the Logical Volume Integrity
// Descriptor at the start of the first verified Logical Volume Descriptor's
// integrity sequence, when it verifies there.
void read_integrity(ScanState* state) {
  if (!state->have_logical_volume || state->integrity_length == 0) return;
  std::vector<uint8_t> bytes(state->image->block_size, 0);
  const uint32_t block = state->integrity_location;
  if (read_sectors(state->image, block, 1, bytes) == 1 && verifies_as(bytes, kTagLogicalVolumeIntegrity, block)) {
    Volume& volume = state->volume;
    volume.integrity_revision = integrity_revision(bytes);
    volume.integrity_type = get_u32(bytes, lvid::kIntegrityType);
    volume.integrity_revisions = integrity_revisions(bytes);
  }
}

// The Minimum UDF Read and Write Revisions of a UDF 2.00 VAT's header, when
// they lie in the block that holds its identifier.
void read_vat_revisions(Volume* volume, const LabelCopy& vat) {
  const size_t header = vat.field - vat::kLogicalVolumeIdentifier;
  if (!vat.verified || vat.field < vat::kLogicalVolumeIdentifier ||
      !field_fits(vat.bytes, header + vat::kMinimumReadRevision, 4)) {
    return;
  }
  volume->vat_revisions = UdfRevisions{get_u16(vat.bytes, header + vat::kMinimumReadRevision),
                                       get_u16(vat.bytes, header + vat::kMinimumWriteRevision)};
}

// Walks both sequences of the session whose anchor is `anchor`.
ScanState walk_session(ImageContext* image, uint32_t start, ConstBlockSpan anchor) {
  ScanState state{.image = image,
                  .start = start,
                  .main_extent = read_sequence_extent(anchor, avdp::kMainSequenceExtent),
                  .reserve_extent = read_sequence_extent(anchor, avdp::kReserveSequenceExtent)};
  walk_sequence(&state, state.main_extent, CopyPlace::MainSequence);
  walk_sequence(&state, state.reserve_extent, CopyPlace::ReserveSequence);
  return state;
}

// Whether a verified Partition Descriptor of the session starts at `block`.
bool has_partition_at(const ScanState& state, uint32_t block) {
  for (const SequenceFindings* findings : {&state.main, &state.reserve}) {
    for (size_t r = 0; r < findings->record_count; ++r) {
      if (findings->records[r].start == block) return true;
    }
  }
  return false;
}

// What tells the first session's own end from a later session's.
FirstSession first_session_ends(const ScanState& first) {
  FirstSession ends;
  ends.main = first.main_extent;
  for (const SequenceFindings* findings : {&first.main, &first.reserve}) {
    for (size_t r = 0; r < findings->record_count; ++r) ends.partition_starts.push_back(findings->records[r].start);
    for (const PartitionEntry& map : findings->maps) ends.write_once = ends.write_once || map.kind == PartitionKind::Virtual;
  }
  return ends;
}

// Whether a verified Partition Descriptor of the session starts after block
// `after` and at or before block `last`.
bool has_partition_within(const ScanState& state, uint32_t after, uint32_t last) {
  for (const SequenceFindings* findings : {&state.main, &state.reserve}) {
    for (size_t r = 0; r < findings->record_count; ++r) {
      if (findings->records[r].start > after && findings->records[r].start <= last) return true;
    }
  }
  return false;
}

// The session that ends at the end of the blocks before `end`, when it is
// not the first: found from the tail, its anchor before its partition, and
// walked. A write-once session whose tail holds neither an anchor nor a VAT
// (its VAT destroyed) is found from its anchor before its last non-zero
// block, when its session has a partition between the two and is not the
// first. `last` is set to the tail's last non-zero block.
std::optional<ScanState> find_session_before(ImageContext* image, uint64_t end, const FirstSession& first,
                                             std::optional<uint32_t>* last) {
  const SessionTail tail = read_session_tail(image, end, first);
  *last = tail.last;
  const auto& starts = first.partition_starts;
  std::optional<ScanState> closing;
  std::optional<uint32_t> partition;
  bool vat_missing = false;
  if (tail.closing_anchor) {
    // A closed session: its anchor's partition, then its opening anchor.
    closing = walk_session(image, 0, *tail.closing_anchor);
    for (size_t r = 0; r < closing->main.record_count && !partition; ++r) partition = closing->main.records[r].start;
  } else if (tail.vat_partition_start) {
    if (std::find(starts.begin(), starts.end(), *tail.vat_partition_start) == starts.end()) {
      partition = tail.vat_partition_start;
    }
  } else if (first.write_once && tail.last && !tail.ends_session && *tail.last < UINT32_MAX) {
    partition = *tail.last + 1;
    vat_missing = true;
  }
  if (!partition) return std::nullopt;
  for (const BlockRange& range : anchor_search_ranges(*partition)) {
    for (const SessionAnchor& anchor : session_anchors_in(image, range)) {
      if (anchor.start >= end) continue;
      if (closing) {
        if (read_sequence_extent(anchor.bytes, avdp::kMainSequenceExtent) != closing->main_extent) continue;
        closing->start = anchor.start;
        return closing;
      }
      ScanState state = walk_session(image, anchor.start, anchor.bytes);
      if (vat_missing ? state.main_extent != first.main && has_partition_within(state, anchor.start, *tail.last)
                      : has_partition_at(state, *partition)) {
        return state;
      }
    }
  }
  return std::nullopt;
}

// Builds the session's partition table (its VAT found from `last`, its last
// non-zero block), reads its File Set Descriptor copies, its VAT's identifier
// and its integrity revision, and marks each copy with `index`. A session of
// `several` whose VAT is not found has it as a copy that does not verify at
// `last`, where it was looked for, unless a read failed.
void finish_session(ScanState* state, std::optional<uint32_t> last, uint32_t index, bool several) {
  Volume& volume = state->volume;
  volume.partitions = build_partition_table(state->image, state->main, state->reserve, last);
  read_file_set(state);
  read_integrity(state);
  volume.access_type = state->main_access ? state->main_access : state->reserve_access;
  for (const PartitionEntry& entry : volume.partitions) {
    if (entry.vat) {
      if (auto copy = read_vat_identifier(state->image, *entry.vat)) {
        if (entry.vat->udf200) read_vat_revisions(&volume, *copy);
        volume.copies.push_back(std::move(*copy));
      }
    } else if (entry.damaged_vat) {
      // A torn VAT: its identifier is a copy that does not verify.
      volume.copies.push_back(LabelCopy{CopyKind::Vat, *entry.damaged_vat, CopyPlace::FileSet, false, {}, 0, false});
    } else if (entry.kind == PartitionKind::Virtual && several && last && !state->image->read_error) {
      volume.copies.push_back(LabelCopy{CopyKind::Vat, *last, CopyPlace::FileSet, false, {}, 0, false});
    }
  }
  for (LabelCopy& copy : volume.copies) copy.session = index;
}

}  // namespace

ScanResult scan_volume(ImageContext* image) {
  ScanResult result;
  const auto anchor = find_anchor(image, &result.failure);
  result.read_error = image->read_error;
  if (!anchor) return result;
  // The first session, then the others from the image's end back, each
  // with the last non-zero block of the part of the image it ends.
  std::vector<ScanState> sessions;
  sessions.push_back(walk_session(image, 0, *anchor));
  std::vector<std::optional<uint32_t>> lasts;
  const FirstSession first = first_session_ends(sessions.front());
  uint64_t end = image->image_blocks;
  while (sessions.size() < kMaxSessions) {
    std::optional<uint32_t> last;
    auto found = find_session_before(image, end, first, &last);
    lasts.push_back(last);
    if (!found) break;
    end = found->start;
    sessions.push_back(std::move(*found));
  }
  if (lasts.size() < sessions.size()) lasts.push_back(std::nullopt);  // the first session's, not looked for
  // Into the image's order: the first session, then the later ones.
  std::reverse(sessions.begin() + 1, sessions.end());
  std::reverse(lasts.begin(), lasts.end());
  Volume volume;
  for (size_t k = 0; k < sessions.size(); ++k) {
    ScanState& state = sessions[k];
    finish_session(&state, lasts[k], static_cast<uint32_t>(k), sessions.size() > 1);
    volume.sessions.push_back(Session{state.start, state.volume.file_set_found, state.main_extent, state.reserve_extent});
    for (LabelCopy& copy : state.volume.copies) volume.copies.push_back(std::move(copy));
  }
  Volume& shown = sessions.back().volume;
  volume.block_size = image->block_size;
  volume.main_sequence = sessions.back().main_extent;
  volume.reserve_sequence = sessions.back().reserve_extent;
  volume.partitions = std::move(shown.partitions);
  volume.file_set_found = shown.file_set_found;
  volume.volume_set_identifier = shown.volume_set_identifier;
  volume.domain_revision = shown.domain_revision;
  volume.integrity_revision = shown.integrity_revision;
  volume.access_type = shown.access_type;
  volume.integrity_type = shown.integrity_type;
  volume.integrity_revisions = shown.integrity_revisions;
  volume.vat_revisions = shown.vat_revisions;
  volume.read_error = image->read_error;
  result.read_error = image->read_error;
  result.volume = std::move(volume);
  return result;
}

void prefetch_scan(const char* path) {
  // Up to 4096-byte block 256 and the sequence right after it; from the end,
  // the anchors at N - 256 and N - 1 and a reserve sequence between them.
  constexpr uint64_t kHeadBytes = (uint64_t{256} + 16) * 4096;
  constexpr uint64_t kTailBytes = uint64_t{1} << 20;
  prefetch_image_file(path, kHeadBytes, kTailBytes);
}
