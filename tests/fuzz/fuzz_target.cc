// libFuzzer entry point: every input is a label and a sparse image (see
// harness.h); a property the harness finds broken aborts with its description.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The tool's messages would drown libFuzzer's own report.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = check_fuzz_input(std::span<const uint8_t>(data, size));
  if (!failure.empty()) {
    std::fprintf(stderr, "volquill fuzz check failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
