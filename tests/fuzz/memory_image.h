// An image held in memory, served to the tool by the memory platform layer
// (memory_platform.cc) in place of a file: the fuzz harness runs whole
// command lines over it and then examines every write the tool made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

constexpr size_t kMemorySectorSize = 2048;

struct MemoryWrite {
  uint64_t offset = 0;
  size_t size = 0;
};

struct MemoryImage {
  uint64_t size = 0;  // in bytes; reads end here
  // Sectors that hold data; every other sector reads as zeros.
  std::map<uint64_t, std::array<uint8_t, kMemorySectorSize>> sectors;
  std::vector<MemoryWrite> writes;
  uint32_t opens = 0;
  bool opened_writable = false;
  uint32_t writes_while_read_only = 0;
};

// The image every stream_open of the memory platform opens, whatever the path.
MemoryImage& served_image();
