// Render test helpers; see render_support.h.
#include "render_support.h"

#include <algorithm>

#include "host/sim/encoder/encoder.h"
#include "pipeline/picture.h"
#include "support/decoder_harness.h"

namespace dualcam::pipeline::test {

void* RecordingAllocator::Allocate(std::size_t bytes, void* context) {
    auto* self = static_cast<RecordingAllocator*>(context);
    const int call = self->Calls++;
    if (self->FailFrom >= 0 && call >= self->FailFrom)
        return nullptr;
    void* block = std::malloc(bytes);
    if (block != nullptr)
        self->Live.push_back(block);
    return block;
}

void RecordingAllocator::Release(void* block, void* context) {
    auto* self = static_cast<RecordingAllocator*>(context);
    self->Live.erase(std::remove(self->Live.begin(), self->Live.end(), block), self->Live.end());
    std::free(block);
}

std::vector<std::uint8_t> PatternPicture(int width, int height, int seed) {
    std::vector<std::uint8_t> p(PlanarPictureBytes(width, height));
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int edge = ((x / 12 + y / 10 + seed) % 3) * 35;
            p[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(
                std::clamp(20 + x * 160 / width + y * 40 / height + edge, 0, 255));
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * (width / 2) + x;
            p[luma + i] = static_cast<std::uint8_t>(128 + ((x * 3 + seed * 13) % 90) - 45);
            p[luma * 5 / 4 + i] = static_cast<std::uint8_t>(128 + ((y * 5 + seed * 7) % 80) - 40);
        }
    }
    return p;
}

namespace {

void FinishRawFrame(std::vector<std::uint8_t>& raw, int quality) {
    const auto length = static_cast<std::uint32_t>(raw.size());
    for (int i = 0; i < 4; ++i)
        raw[kRawLengthOffset + i] = static_cast<std::uint8_t>(length >> (8 * i));
    raw[kRawQualityOffset] = static_cast<std::uint8_t>(quality);
    raw.resize(raw.size() + decoder::kRawFrameSlack, 0);
}

}  // namespace

std::vector<std::uint8_t> EncodedRawFrame(int width, int height, int quality, int seed) {
    const auto picture = PatternPicture(width, height, seed);
    auto raw = encoder::EncodeRawFrame(encoder::I420View{picture, width, height}, quality);
    if (raw.empty())
        return raw;
    FinishRawFrame(raw, quality);
    return raw;
}

std::vector<std::uint8_t> GreyRawFrame(int width, int height, int quality) {
    std::vector<std::uint8_t> raw(kRawHeaderSize, 0);
    const int mcus = (width / 16) * (height / 16);
    for (int i = 0; i < mcus; ++i) raw.insert(raw.end(), {0x28, 0xA2, 0x8A, 0x00});
    FinishRawFrame(raw, quality);
    return raw;
}

std::vector<std::uint8_t> ComposedPicture(const std::vector<std::uint8_t>& rawFrame,
                                          const SizePlanEntry& entry, OutputKind kind,
                                          int toneCurveIndex) {
    testing::DecoderHarness harness;
    if (!harness.ready())
        return {};
    const int w = entry.FormatWidth, h = entry.FormatHeight;
    const int rw = entry.RawWidth, rh = entry.RawHeight;
    const auto length = static_cast<std::int32_t>(RawFrameLength(rawFrame.data()));
    const int quality = rawFrame[kRawQualityOffset];
    const std::uint8_t* data = rawFrame.data() + kRawHeaderSize;

    if (kind == OutputKind::Rgb && toneCurveIndex == 0 && entry.Route == RenderRoute::SameSize) {
        std::vector<std::uint8_t> out(RgbPictureBytes(w, h));
        if (harness.DecodeInto(data, length, w, h, quality, decoder::kOutputBgr, out.data()) != 1)
            return {};
        return out;
    }
    std::vector<std::uint8_t> decoded(decoder::DecoderOutputBytes(rw, rh, decoder::kOutputI420));
    if (harness.DecodeInto(data, length, rw, rh, quality, decoder::kOutputI420, decoded.data()) !=
        1)
        return {};
    std::vector<std::uint8_t> planar(PlanarPictureBytes(w, h));
    switch (entry.Route) {
        case RenderRoute::SameSize:
            std::copy_n(decoded.begin(), planar.size(), planar.begin());
            break;
        case RenderRoute::Shrink:
            if (ResamplePicture(decoded.data(), planar.data(), rw, rh, w, h) != 1)
                return {};
            break;
        case RenderRoute::StretchThenShrink: {
            std::vector<std::uint8_t> stretched(PlanarPictureBytes(160, 120));
            if (StretchPicture(decoded.data(), stretched.data(), 160, 112, 160, 120) != 1)
                return {};
            if (ResamplePicture(stretched.data(), planar.data(), 160, 120, w, h) != 1)
                return {};
            break;
        }
    }
    if (toneCurveIndex != 0)
        ApplyToneCurve(planar.data(), w, h);
    if (kind == OutputKind::Planar)
        return planar;
    std::vector<std::uint8_t> rgb(RgbPictureBytes(w, h));
    ConvertToRgb(planar.data(), rgb.data(), w, h);
    return rgb;
}

}  // namespace dualcam::pipeline::test
