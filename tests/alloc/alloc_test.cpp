// No heap allocation in the per-packet and per-frame paths: this binary
// replaces the C allocator (malloc and its family, served by the C library's
// own entry points) and the global operator new/delete with counting
// versions, then drives packets and frames through the driver's callbacks
// and the decoder on every path while the counter is armed.
//
// The hard part is proving something rather than nothing: the first frame of
// each set-up runs unarmed (it may build shared tables and read the
// environment once), a check shows the counter does see an allocation, and
// damaged frames (lost packets, corrupt data) are part of the armed run,
// because the fallbacks are where an allocation would hide. Under a
// sanitizer, which owns the allocator itself, the replacements are left out
// and the tests skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "driver/device_context.h"
#include "host/sim/encoder/encoder.h"
#include "host/sim/encoder/picture.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/frame.h"
#include "pipeline/packet.h"
#include "pipeline/render.h"
#include "support/sanitizers.h"
#include "support/test_data.h"

namespace {
std::atomic<bool> g_armed{false};
std::atomic<long> g_allocations{0};
}  // namespace

void CountAllocation() {
    if (g_armed.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}

#if !defined(DUALCAM_SANITIZED)
#include "support/allocation_interposer.h"

void* operator new(std::size_t bytes) {
    CountAllocation();
    if (void* p = __libc_malloc(bytes != 0 ? bytes : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t bytes) { return operator new(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
    CountAllocation();
    return __libc_malloc(bytes != 0 ? bytes : 1);
}
void* operator new[](std::size_t bytes, const std::nothrow_t& tag) noexcept {
    return operator new(bytes, tag);
}
void* operator new(std::size_t bytes, std::align_val_t alignment) {
    CountAllocation();
    if (void* p = __libc_memalign(static_cast<std::size_t>(alignment), bytes != 0 ? bytes : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) { return operator new(bytes, alignment); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { __libc_free(p); }
#endif

namespace dualcam {
namespace {

// Counts allocations between construction and Stop().
class Armed {
public:
    Armed() {
        g_allocations.store(0);
        g_armed.store(true);
    }
    long Stop() {
        g_armed.store(false);
        return g_allocations.load();
    }
    ~Armed() { g_armed.store(false); }
};

#if defined(DUALCAM_SANITIZED)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer owns the allocator"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

TEST(FramePathAllocation, TheCounterSeesAnAllocation) {
    SKIP_UNDER_SANITIZER();
    Armed armed;
    auto* p = new int(7);
    void* q = std::malloc(16);
    std::free(q);
    delete p;
    EXPECT_EQ(armed.Stop(), 2);
}

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

constexpr ULONG kPacketSize = 1023;

// One raw frame of a photograph cut into camera packets (frame-start packet first).
struct Packets {
    std::vector<std::vector<uint8_t>> slots;
    std::vector<ULONG> lengths;
};

Packets CutIntoPackets(int width, int height) {
    const encoder::RgbPicture rgb = testing::LoadPhoto("kodim15", width, height);
    const encoder::I420Picture yuv = encoder::RgbToI420(rgb);
    const auto raw = encoder::EncodeRawFrame({yuv.bytes, width, height}, 3);
    Packets p;
    const std::size_t payload = kPacketSize - 1;
    for (std::size_t offset = 0, n = 0; offset < raw.size(); offset += payload, ++n) {
        std::vector<uint8_t> slot(kPacketSize, 0);
        slot[0] = n == 0 ? pipeline::kPacketFrameStart : static_cast<uint8_t>((n - 1) % 128);
        const std::size_t count = std::min(payload, raw.size() - offset);
        std::memcpy(slot.data() + 1, raw.data() + offset, count);
        p.slots.push_back(std::move(slot));
        p.lengths.push_back(static_cast<ULONG>(1 + count));
    }
    return p;
}

// A device streaming one format, fed the way the class library feeds it.
struct Stream {
    USBD_INTERFACE_INFORMATION iface{};
    std::unique_ptr<driver::DeviceContext> ctx = std::make_unique<driver::DeviceContext>();
    std::vector<UCHAR> still = std::vector<UCHAR>(driver::kStillBufferSize);
    std::vector<UCHAR> lastGood = std::vector<UCHAR>(driver::kLastGoodFrameSize);
    std::vector<UCHAR> raw;
    std::vector<UCHAR> picture;
    UCHAR frameContext[4] = {};
    std::size_t gathered = 0;
    ULONG gatheredPackets = 0;
    int frames = 0;

    Stream(ULONG compression, int formatWidth, int formatHeight, int rawWidth, int rawHeight,
           std::size_t packets) {
        iface.Pipes[0].MaximumPacketSize = kPacketSize;
        ctx->InterfaceCopy = &iface;
        ctx->StillBuffer = still.data();
        ctx->LastGoodFrame = lastGood.data();
        ctx->OutputCompression = compression;
        ctx->FormatWidth = formatWidth;
        ctx->FormatHeight = formatHeight;
        ctx->RawWidth = rawWidth;
        ctx->RawHeight = rawHeight;
        ctx->QualityIndex = 3;
        const std::size_t capacity = packets * (kPacketSize - 1);
        raw.assign(capacity + decoder::kRawFrameSlack, 0);
        const std::size_t pixels = static_cast<std::size_t>(formatWidth) * formatHeight;
        picture.assign(compression == pipeline::kCompressionRgb ? pixels * 3
                       : compression == pipeline::kFourccVqj9   ? capacity + pipeline::kPassThroughHeaderSize
                                                                : pixels * 3 / 2,
                       0);
    }

    // One frame's packets; `drop` skips a packet (a lost one), `damage` garbles payload bytes.
    void Feed(const Packets& p, std::size_t drop, bool damage) {
        for (std::size_t i = 0; i < p.slots.size(); ++i) {
            if (i == drop) continue;
            std::vector<uint8_t>& slot = const_cast<std::vector<uint8_t>&>(p.slots[i]);
            const uint8_t saved = slot[200];
            if (damage && i == 3) slot[200] ^= 0x5A;
            USBD_ISO_PACKET_DESCRIPTOR descriptor{0, p.lengths[i], p.lengths[i] == kPacketSize ? 0 : 9};
            BOOLEAN complete = 0, flag = 0;
            ULONG offset = 0;
            const ULONG bytes = pipeline::CamProcessUSBPacket(nullptr, ctx.get(), frameContext, nullptr, nullptr,
                                                              &descriptor, slot.data(), &complete, &offset, &flag);
            if (complete && gatheredPackets != 0) Complete();
            if (bytes != 0 && gathered + bytes <= raw.size() - decoder::kRawFrameSlack) {
                std::memcpy(raw.data() + gathered, slot.data() + offset, bytes);
                gathered += bytes;
                ++gatheredPackets;
            }
            slot[200] = saved;
        }
    }

    void Complete() {
        ULONG returned = 0;
        pipeline::CamProcessRawVideoFrame(nullptr, ctx.get(), frameContext, picture.data(),
                                          static_cast<ULONG>(picture.size()), raw.data(),
                                          static_cast<ULONG>(gathered), gatheredPackets, &returned);
        ++frames;
        gathered = 0;
        gatheredPackets = 0;
        std::memset(frameContext, 0, sizeof frameContext);
    }
};

TEST(FramePathAllocation, PacketsAndFramesAllocateNothing) {
    SKIP_UNDER_SANITIZER();
    static const decoder::DecoderAllocator heap = {HeapAllocate, HeapRelease, nullptr};
    ASSERT_EQ(pipeline::SharedDecoderAcquire(&heap), 1);
    struct Format {
        ULONG compression;
        int width, height, rawWidth, rawHeight;
    };
    // Direct decodes, a resize through the work buffers, and the pass-through.
    const Format formats[] = {{pipeline::kCompressionRgb, 352, 288, 352, 288},
                              {pipeline::kFourccI420, 352, 288, 352, 288},
                              {pipeline::kCompressionRgb, 240, 180, 320, 240},
                              {pipeline::kFourccI420, 240, 180, 320, 240},
                              {pipeline::kFourccVqj9, 352, 288, 352, 288}};
    for (const Format& f : formats) {
        const Packets packets = CutIntoPackets(f.rawWidth, f.rawHeight);
        Stream stream(f.compression, f.width, f.height, f.rawWidth, f.rawHeight, packets.slots.size() + 1);
        // Warm-up, unarmed: two frames, so the second completes the first.
        stream.Feed(packets, SIZE_MAX, false);
        stream.Feed(packets, SIZE_MAX, false);
        const int before = stream.frames;
        Armed armed;
        for (int i = 0; i < 4; ++i) stream.Feed(packets, SIZE_MAX, false);
        stream.Feed(packets, 5, false);         // a lost packet: repeat the last picture
        stream.Feed(packets, SIZE_MAX, true);   // corrupt data
        stream.Feed(packets, SIZE_MAX, false);
        const long allocations = armed.Stop();
        EXPECT_EQ(allocations, 0) << "format " << f.width << "x" << f.height << " compression "
                                  << f.compression;
        EXPECT_GE(stream.frames - before, 6);
        // The run delivered pictures, not only markers.
        EXPECT_NE(std::count(stream.picture.begin(), stream.picture.end(), UCHAR{0}),
                  static_cast<std::ptrdiff_t>(stream.picture.size()));
    }
    pipeline::SharedDecoderRelease();
}

TEST(FramePathAllocation, DecodingAllocatesNothingOnAnyPath) {
    SKIP_UNDER_SANITIZER();
    const encoder::RgbPicture rgb = testing::LoadPhoto("kodim15", 352, 288);
    const encoder::I420Picture yuv = encoder::RgbToI420(rgb);
    std::vector<uint8_t> stream = encoder::EncodePicture({yuv.bytes, 352, 288}, encoder::CameraQuantPair(3));
    const auto length = static_cast<int32_t>(stream.size());
    stream.resize(stream.size() + decoder::kReadSlack, 0);
    static const decoder::DecoderAllocator heap = {HeapAllocate, HeapRelease, nullptr};
    auto state = std::make_unique<decoder::DecoderState>();
    ASSERT_EQ(decoder::DecoderInitialize(state.get(), &heap), 1);
    std::vector<uint8_t> out(decoder::DecoderOutputBytes(352, 288, 0));
    decoder::DecodePicture(state.get(), stream.data(), length, out.data(), 0);  // warm-up
    for (int p = 0; p < decoder::kDecoderPathCount; ++p) {
        const auto path = static_cast<decoder::DecoderPath>(p);
        if (!decoder::DecoderPathAvailable(path)) continue;
        for (int kind : {0, 1}) {
            Armed armed;
            decoder::DecoderSelectQuality(state.get(), static_cast<int16_t>(kind + 1));
            decoder::DecoderBuildRowTable(state.get(), 352, 288, kind, out.data());
            EXPECT_EQ(decoder::DecodePictureWith(path, state.get(), stream.data(), length, out.data(), kind), 1);
            // Truncated: the checked tail and the failure.
            EXPECT_EQ(decoder::DecodePictureWith(path, state.get(), stream.data(), length / 2, out.data(), kind), 0);
            EXPECT_EQ(armed.Stop(), 0) << decoder::DecoderPathName(path) << " kind " << kind;
        }
    }
    decoder::DecoderRelease(state.get());
}

}  // namespace
}  // namespace dualcam
