// Crash safety of a relabel: the run is stopped after each of its
// writes, that write torn, and every state the storage may then hold is
// checked to keep a verified copy of each label-carrying volume descriptor.
//
// What survives a crash: everything written before the last sync that
// completed; of the writes after it, each may be lost, kept, or torn (only
// its new tag and a few bytes more landed, so that its CRC fails): a drive may
// hold several in its cache and reorder them.
#include <gtest/gtest.h>

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

// Each of the Primary, "*UDF LV Info" Implementation Use and Logical Volume
// Descriptors has a copy, in the main or the reserve sequence, that is the
// old or the new descriptor whole and verifies at its block.
std::string missing_descriptor(const MemoryImage& state, const MemoryImage& before, const MemoryImage& after,
                               uint32_t size) {
  for (uint32_t offset : {0u, 1u, 3u}) {
    bool kept = false;
    for (uint32_t first : {seeds::kMainSequence, seeds::kReserveSequence}) {
      const auto bytes = block_of(state, first + offset, size);
      const bool whole = bytes == block_of(before, first + offset, size) || bytes == block_of(after, first + offset, size);
      kept = kept || (whole && builder::tag_is_valid(bytes) && builder::get_u32(bytes, 12) == first + offset);
    }
    if (!kept) return "no verified copy of the descriptor at sequence offset " + std::to_string(offset);
  }
  return {};
}

struct CrashVolume {
  const char* name;
  builder::Image image;
  uint32_t block_size;
};

TEST(CrashSafety, EveryDescriptorKeepsAVerifiedCopyThroughAnyCrash) {
  const CrashVolume volumes[] = {
      {"plain", seeds::plain_volume("Old"), 2048},
      {"plain 512", seeds::with_block_size(seeds::plain_volume("Old"), 512), 512},
      {"metadata", seeds::metadata_volume("Old"), 2048},
      {"virtual", seeds::virtual_volume("Old"), 2048},
  };
  for (const CrashVolume& volume : volumes) {
    SCOPED_TRACE(volume.name);
    const uint32_t size = volume.block_size;
    const MemoryImage original = memory_image(volume.image);
    MemoryImage complete = original;
    ASSERT_EQ(relabel(&complete, std::nullopt), 0);
    const auto& writes = complete.writes;
    ASSERT_GE(writes.size(), 7u);

    for (size_t k = 0; k < writes.size(); ++k) {
      SCOPED_TRACE("stopped in write " + std::to_string(k));
      // The run itself, stopped in write k, torn: it fails,
      // and a failed sync ends it before the next sync's writes.
      MemoryImage stopped = original;
      EXPECT_EQ(relabel(&stopped, CrashPlan{k, kTornBytes}), 1);
      size_t next_sync = writes.size();
      for (size_t s : complete.syncs) {
        if (s > k) {
          next_sync = s;
          break;
        }
      }
      EXPECT_EQ(stopped.writes.size() + stopped.writes_after_crash, next_sync);
      const size_t durable = stopped.syncs.empty() ? 0 : stopped.syncs.back();
      ASSERT_LE(durable, k);

      // Every state the storage may hold: writes [durable, k] each lost,
      // kept or torn.
      const size_t open = k + 1 - durable;
      size_t states = 1;
      for (size_t i = 0; i < open; ++i) states *= 3;
      for (size_t choice = 0; choice < states; ++choice) {
        MemoryImage state = original;
        for (size_t j = 0; j < durable; ++j) store_bytes(&state, writes[j].offset, writes[j].landed);
        std::string fates;
        for (size_t i = 0, c = choice; i < open; ++i, c /= 3) {
          const MemoryWrite& w = writes[durable + i];
          fates += "-KT"[c % 3];
          if (c % 3 == 1) store_bytes(&state, w.offset, w.landed);
          if (c % 3 == 2) store_bytes(&state, w.offset, std::span(w.landed).first(kTornBytes));
        }
        EXPECT_EQ(missing_descriptor(state, original, complete, size), "")
            << "writes from " << durable << " lost (-), kept (K) or torn (T): " << fates;
      }
    }
  }
}

}  // namespace
