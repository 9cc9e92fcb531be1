// Crash safety of a relabel: the run is stopped after each of its
// writes, that write torn, and every state the storage may then hold is
// checked to keep a verified copy of each label-carrying volume descriptor.
//
// What survives a crash: everything written before the last sync that
// completed; of the writes after it, each may be lost, kept, or torn (only
// its new tag and a few bytes more landed, so that its CRC fails): a drive may
// hold several in its cache and reorder them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/tool.h"
#include "image_builder.h"
#include "memory_image.h"
#include "seed_volumes.h"

namespace {

const std::string kNewLabel = "Crash Safe";
constexpr size_t kTornBytes = 24;

MemoryImage memory_image(const builder::Image& image) {
  MemoryImage memory;
  store_bytes(&memory, 0, image.bytes);
  return memory;
}

// Runs `volquill image.iso LABEL` over `image` under `crash`; returns the
// exit status and leaves the image as the run left it.
int relabel(MemoryImage* image, std::optional<CrashPlan> crash) {
  image->crash = crash;
  served_image() = std::move(*image);
  std::string program = "volquill", path = "image.iso", label = kNewLabel;
  char* argv[] = {program.data(), path.data(), label.data(), nullptr};
  const int status = run_command_line(3, argv);
  *image = std::move(served_image());
  served_image() = MemoryImage{};
  return status;
}

std::vector<uint8_t> block_of(const MemoryImage& image, uint32_t block, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  load_bytes(image, uint64_t{block} * size, bytes);
  return bytes;
}

// Whether block `block` of `state` is the old or the new one whole, with a
// valid tag.
bool whole_and_valid(const MemoryImage& state, const MemoryImage& before, const MemoryImage& after, uint32_t block,
                     uint32_t size) {
  const auto bytes = block_of(state, block, size);
  const bool whole = bytes == block_of(before, block, size) || bytes == block_of(after, block, size);
  return whole && builder::tag_is_valid(bytes);
}

// Each of the Primary, "*UDF LV Info" Implementation Use and Logical Volume
// Descriptors has a copy, in the main or the reserve sequence, that is the
// old or the new descriptor whole and verifies at its block; so does a File
// Set Descriptor written in two copies (`file_sets`), in one of them.
// Of a volume of two sessions, each session's descriptors.
std::string missing_descriptor(const MemoryImage& state, const MemoryImage& before, const MemoryImage& after,
                               uint32_t size, const std::vector<uint32_t>& file_sets, uint32_t second_session) {
  for (uint32_t session : {0u, second_session}) {
    for (uint32_t offset : {0u, 1u, 3u}) {
      bool kept = false;
      for (uint32_t first : {seeds::kMainSequence, seeds::kReserveSequence}) {
        const uint32_t n = session + first + offset;
        kept = kept || (whole_and_valid(state, before, after, n, size) &&
                        builder::get_u32(block_of(state, n, size), 12) == n);
      }
      if (!kept) return "no verified copy of the descriptor at block " + std::to_string(session + offset);
    }
  }
  if (file_sets.size() == 2 && second_session == 0 && !whole_and_valid(state, before, after, file_sets[0], size) &&
      !whole_and_valid(state, before, after, file_sets[1], size)) {
    return "no verified copy of the File Set Descriptor";
  }
  return {};
}

struct CrashVolume {
  const char* name;
  builder::Image image;
  uint32_t block_size;
  size_t file_set_copies;  // in two copies when 2 and one session
  uint32_t second_session = 0;
};

TEST(CrashSafety, EveryDescriptorKeepsAVerifiedCopyThroughAnyCrash) {
  const CrashVolume volumes[] = {
      {"plain", seeds::plain_volume("Old"), 2048, 1},
      {"plain 512", seeds::with_block_size(seeds::plain_volume("Old"), 512), 512, 1},
      {"metadata", seeds::metadata_volume("Old"), 2048, 2},
      {"sparable", seeds::sparable_volume("Old"), 2048, 1},
      {"virtual", seeds::virtual_volume("Old"), 2048, 1},
      {"two sessions", seeds::two_session_volume("Old", "Later"), 2048, 2, seeds::kSecondSession},
  };
  for (const CrashVolume& volume : volumes) {
    SCOPED_TRACE(volume.name);
    const uint32_t size = volume.block_size;
    const MemoryImage original = memory_image(volume.image);
    MemoryImage complete = original;
    ASSERT_EQ(relabel(&complete, std::nullopt), 0);
    const auto& writes = complete.writes;
    ASSERT_GE(writes.size(), 7u);
    EXPECT_EQ(complete.syncs.size(), 2u);  // one per write group
    std::vector<uint32_t> file_sets;  // the blocks of the File Set Descriptor's copies
    for (const MemoryWrite& w : writes) {
      const auto block = static_cast<uint32_t>(w.offset / size);
      if (builder::get_u16(block_of(complete, block, size), 0) == 256) file_sets.push_back(block);
    }
    ASSERT_EQ(file_sets.size(), volume.file_set_copies);

    // VOLQUILL_CRASH_STRIDE=N stops the run in every Nth write only (and in
    // the last), and takes every Nth state of the storage only (and the
    // last), for the valgrind stage, where every state costs a hundredfold.
    const char* stride_text = std::getenv("VOLQUILL_CRASH_STRIDE");
    const size_t stride = stride_text != nullptr ? std::max<size_t>(1, std::strtoul(stride_text, nullptr, 10)) : 1;
    for (size_t k = 0; k < writes.size(); ++k) {
      if (k % stride != 0 && k + 1 != writes.size()) continue;
      SCOPED_TRACE("stopped in write " + std::to_string(k));
      // The run itself, stopped in write k, torn: it fails, and the failed
      // write is its last.
      MemoryImage stopped = original;
      EXPECT_EQ(relabel(&stopped, CrashPlan{k, kTornBytes}), 1);
      EXPECT_EQ(stopped.writes.size() + stopped.writes_after_crash, k + 1);
      const size_t durable = stopped.syncs.empty() ? 0 : stopped.syncs.back();
      ASSERT_LE(durable, k);

      // Every state the storage may hold: writes [durable, k] each lost,
      // kept or torn.
      const size_t open = k + 1 - durable;
      size_t states = 1;
      for (size_t i = 0; i < open; ++i) states *= 3;
      for (size_t choice = 0; choice < states; ++choice) {
        if (choice % stride != 0 && choice + 1 != states) continue;
        MemoryImage state = original;
        for (size_t j = 0; j < durable; ++j) store_bytes(&state, writes[j].offset, writes[j].landed);
        std::string fates;
        for (size_t i = 0, c = choice; i < open; ++i, c /= 3) {
          const MemoryWrite& w = writes[durable + i];
          fates += "-KT"[c % 3];
          if (c % 3 == 1) store_bytes(&state, w.offset, w.landed);
          if (c % 3 == 2) store_bytes(&state, w.offset, std::span(w.landed).first(kTornBytes));
        }
        EXPECT_EQ(missing_descriptor(state, original, complete, size, file_sets, volume.second_session), "")
            << "writes from " << durable << " lost (-), kept (K) or torn (T): " << fates;

        // Run again, the relabel mends the crash: every block ends as the
        // complete run left it. A torn descriptor without a twin (a single
        // File Set Descriptor, the VAT's File Entry) cannot be mended: that
        // rerun fails and writes nothing. A VAT data block is written whole.
        // Every state is run again where few writes are open; else those
        // with every open write kept but at most one, lost or torn.
        const size_t kept = static_cast<size_t>(std::count(fates.begin(), fates.end(), 'K'));
        if (open > 3 && kept + 1 < open) continue;
        bool unmendable = false;
        for (size_t i = 0, c = choice; i < open; ++i, c /= 3) {
          const auto block = static_cast<uint32_t>(writes[durable + i].offset / size);
          const uint16_t tag = builder::get_u16(block_of(complete, block, size), 0);
          const bool mendable = tag == 0 || tag == 1 || tag == 4 || tag == 6 ||
                                (tag == 256 && file_sets.size() == 2 && volume.second_session == 0);
          unmendable = unmendable || (c % 3 == 2 && !mendable);
        }
        MemoryImage rerun = state;
        rerun.writes.clear();
        rerun.syncs.clear();
        const int status = relabel(&rerun, std::nullopt);
        EXPECT_EQ(status, unmendable ? 1 : 0) << "rerun after " << fates;
        if (unmendable) {
          EXPECT_TRUE(rerun.writes.empty()) << "rerun after " << fates;
          continue;
        }
        for (const MemoryWrite& w : writes) {
          const auto block = static_cast<uint32_t>(w.offset / size);
          EXPECT_EQ(block_of(rerun, block, size), block_of(complete, block, size))
              << "block " << block << " after a rerun after " << fates;
        }
      }
    }
  }
}

}  // namespace
