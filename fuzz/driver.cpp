// libFuzzer entry point of one target; DUALCAM_FUZZ_ENTRY names its
// function (see targets/targets.h).
#include <cstddef>
#include <cstdint>

#include "targets/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return dualcam::fuzz::DUALCAM_FUZZ_ENTRY(data, size);
}
