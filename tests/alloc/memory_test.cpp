// What a streaming device holds in memory: its own record and pool blocks,
// plus the driver-wide decoder (record, two work pictures and the static
// tables), which a lone device carries alone. The sums are recorded as test
// properties (and printed) so the performance notes quote measured figures,
// and held to a budget so a grown buffer is noticed.
#include <gtest/gtest.h>

#include <cstdio>

#include "driver/device_context.h"
#include "pipeline/decoder/decoder.h"

namespace dualcam {
namespace {

constexpr std::size_t kBudgetPerDevice = 1536 * 1024;  // 1.5 MB

TEST(DeviceMemory, ALoneDeviceWithTheSharedDecoderStaysWithinTheBudget) {
    // Per device: the record and the two pool blocks (the interface copy is a few hundred bytes
    // more, sized by the bus).
    const std::size_t device =
        sizeof(driver::DeviceContext) + driver::kStillBufferSize + driver::kLastGoodFrameSize;
    // Shared: the decoder record, its two work pictures and the static tables.
    const std::size_t shared = sizeof(decoder::DecoderState) + 2 * decoder::kWorkBufferSize +
                               sizeof(decoder::DecoderTables);
    std::printf("device %zu bytes, shared decoder %zu bytes (record %zu, work %zu, tables %zu)\n",
                device, shared, sizeof(decoder::DecoderState), 2 * decoder::kWorkBufferSize,
                sizeof(decoder::DecoderTables));
    ::testing::Test::RecordProperty("device_bytes", static_cast<int>(device));
    ::testing::Test::RecordProperty("shared_bytes", static_cast<int>(shared));
    // The sizes the blocks are allocated with, as the camera's data needs them.
    EXPECT_EQ(driver::kStillBufferSize, 306177u);
    EXPECT_EQ(driver::kLastGoodFrameSize, 304128u);
    EXPECT_EQ(decoder::kWorkBufferSize, 203776u);
    // The first device carries the whole shared part.
    EXPECT_LE(device + shared, kBudgetPerDevice);
}
}  // namespace
}  // namespace dualcam
