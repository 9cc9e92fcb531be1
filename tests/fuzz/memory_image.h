// An image held in memory, served to the tool by the memory platform layer
// (memory_platform.cc) in place of a file: the fuzz harness runs whole
// command lines over it and then examines every write the tool made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

// The unit the image is stored in, whatever the volume's block size.
constexpr size_t kMemorySectorSize = 2048;

// One write as the tool asked for it, and the bytes of it that landed.
struct MemoryWrite {
  uint64_t offset = 0;
  size_t size = 0;
  std::vector<uint8_t> landed;
};

// A machine that stops during a run: write `write_index` lands only its first
// `landed_bytes` bytes, and every later write and sync fails.
struct CrashPlan {
  size_t write_index = 0;
  size_t landed_bytes = 0;
};

struct MemoryImage {
  uint64_t size = 0;  // in bytes; reads end here
  // Sectors that hold data; every other sector reads as zeros and is a hole.
  std::map<uint64_t, std::array<uint8_t, kMemorySectorSize>> sectors;
  std::vector<MemoryWrite> writes;
  // The number of writes made before each sync that succeeded.
  std::vector<size_t> syncs;
  std::optional<CrashPlan> crash;
  uint32_t writes_after_crash = 0;  // refused under the crash plan
  uint32_t opens = 0;
  bool opened_writable = false;
  uint32_t writes_while_read_only = 0;
  // The read, counted from 0, that fails as an I/O error would.
  std::optional<size_t> failing_read;
  size_t reads = 0;
};

// The image every stream_open of the memory platform opens, whatever the path.
MemoryImage& served_image();

// Stores `bytes` at byte `offset`, sector by sector; the size grows to hold them.
void store_bytes(MemoryImage* image, uint64_t offset, std::span<const uint8_t> bytes);

// Reads dest.size() bytes at `offset`; absent sectors and bytes past the
// size read as zeros.
void load_bytes(const MemoryImage& image, uint64_t offset, std::span<uint8_t> dest);
