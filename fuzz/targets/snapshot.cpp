// Fuzz target: the button poll and the snapshot service. Any camera
// information block, any still flags and mailbox values (of any type) left
// by the other threads and applications, any driver status, a button press
// or not, then a few poll cycles on the stepped queue.
//
// Hard part: the information block comes from the camera and its word
// count from there too, so the header's word list must stay bounded
// whatever the count says; a snapshot file, when one is written, must be
// exactly header plus data with a bounded word list, and the mailbox
// result must be one of the two the driver posts.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "camera/button.h"
#include "camera/settings.h"
#include "fuzz_support.h"
#include "host/bus/sim_bus.h"
#include "host/kernel/registry.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace camera;

constexpr const char* kName = "snapshot";
constexpr ULONG kStatuses[] = {0, 2, 3, 5, 7, 8};

void SetMailbox(FuzzInput& in, host::Registry& registry, const char* name) {
  switch (in.Pick(4)) {
    case 0: registry.DeleteValue(host::kSettingsKeyPath, name); break;
    case 1: registry.SetDword(host::kSettingsKeyPath, name, in.Pick(3)); break;
    case 2: registry.SetDword(host::kSettingsKeyPath, name, in.U32()); break;
    default: registry.SetString(host::kSettingsKeyPath, name, "1"); break;
  }
}

}  // namespace

int FuzzSnapshot(const uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  host::HostKernel& kernel = world.Kernel();
  const std::filesystem::path file =
      kernel.fileRoot() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730" / "snapraw.dat";
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  const host::PoolUsage before = world.PoolNow();
  const std::size_t handles = kernel.OpenHandles();
  FuzzInput in(data, size);
  {
    driver::DeviceContext* ctx = world.FreshContext();
    CaptureBuffers buffers(ctx, 1023);
    if (!ctx->StillBuffer) Fail(kName, "no pool for the still buffer");

    // The information block: the word count at its place, then any bytes.
    std::memset(ctx->CameraInfoBlock, 0, sizeof ctx->CameraInfoBlock);
    const uint16_t words = in.Flag() ? in.U16() : static_cast<uint16_t>(in.U8());
    const auto block = in.Take(in.U16() % (driver::kCameraInfoBlockSize + 1));
    if (!block.empty()) std::memcpy(ctx->CameraInfoBlock, block.data(), block.size());
    std::memcpy(ctx->CameraInfoBlock + kInfoBlockWordCountOffset, &words, sizeof words);

    const uint8_t flags = in.U8();
    ctx->DriverStatus.store(in.Pick(8) < 6 ? kStatuses[in.Pick(6)] : in.U32());
    ctx->Suspended.store(flags & 1);
    ctx->StillByProperty.store((flags >> 1) & 1);
    ctx->StillReady.store((flags >> 2) & 1);
    ctx->StillToSave.store((flags >> 3) & 1);
    ctx->StillRequested.store((flags >> 4) & 1);
    ctx->StillCaptured = (flags >> 5) & 1;
    ctx->StillFailCount = in.U8() % 16;
    ctx->SnapShotValue = in.Pick(3) == 0 ? in.U32() : in.Pick(3);
    ctx->Gamma = in.Pick(4) == 0 ? in.U32() : in.Pick(10);
    ctx->SizeIndex = in.U8() % 9;
    SetMailbox(in, kernel.registry(), "SnapShoot");
    SetMailbox(in, kernel.registry(), "SnapShot");
    if (flags & 0x40) static_cast<host::bus::SimBus&>(world.Device().Bus()).Camera().PressButton();
    const auto still = in.Take(4096);
    if (!still.empty()) std::memcpy(ctx->StillBuffer + kSnapshotHeaderSize, still.data(), still.size());

    const auto posted = kernel.registry().GetValue(host::kSettingsKeyPath, "SnapShot");
    const unsigned cycles = 1 + in.Pick(4);
    for (unsigned i = 0; i < cycles; ++i) {
      ButtonPoll(ctx);
      kernel.workQueue().Discard();  // the re-queued cycle; the next one runs here
    }

    if (std::filesystem::exists(file)) {
      // Size and word count only: reading all 200 KB back a byte at a
      // time was most of this target's time per input.
      std::error_code error;
      Check(std::filesystem::file_size(file, error) == kSnapshotFileSize && !error, kName,
            "a snapshot file of the wrong size");
      std::ifstream stream(file, std::ios::binary);
      uint8_t word[2] = {};
      stream.seekg(kHeaderWordCountOffset);
      stream.read(reinterpret_cast<char*>(word), sizeof word);
      Check(static_cast<bool>(stream), kName, "a snapshot file that cannot be read back");
      const unsigned count = word[0] | word[1] << 8u;
      Check(count <= kHeaderMaxWords, kName, "the header's word count is beyond its room");
    }
    // Only the driver writes "SnapShot" during the cycles, and only 1 or 2.
    const auto result = kernel.registry().GetValue(host::kSettingsKeyPath, "SnapShot");
    if (result && !(posted && result->Type == posted->Type && result->Data == posted->Data)) {
      const auto value = result->AsDword();
      Check(value && (*value == kSnapShotSaved || *value == kSnapShotFailed), kName,
            "a mailbox result other than saved or failed");
    }
  }
  CheckPoolBalanced(before, kName);
  Check(kernel.OpenHandles() == handles, kName, "a key or file handle outlived the input");
  return 0;
}

}  // namespace dualcam::fuzz
