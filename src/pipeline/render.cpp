// Rendering a raw frame into the application's picture: the RGB and planar
// routes, the VQJ9 pass-through header and the driver-wide decoder.
//
// Hard part: every route is a chain of steps writing into three buffers
// (work pictures A and B, and the application's buffer, which the 128-wide
// RGB route even borrows as scratch). All sizes are checked before the
// first write, so a frame that would not fit leaves every buffer as it
// was; and the decoder state with A and B is one object for all devices,
// so one lock covers a frame's whole select / build / decode / resize /
// tone / convert sequence. Renders outside the driver may bring a state of
// their own (larger work pictures for 640x480 stills); the same routes run
// on it without the shared lock.
#include "pipeline/render.h"

#include <cstring>
#include <limits>
#include <mutex>

#include "pipeline/picture.h"

namespace dualcam::pipeline {
namespace {

// The raw picture of the 128-wide format is always 160x112, stretched to
// 160x120 before the 5:4 shrink.
constexpr int kStretchSourceWidth = 160;
constexpr int kStretchSourceHeight = 112;
constexpr int kStretchedHeight = 120;

// The one decoder of the driver. Devices counts initialized devices; the
// state is set up by the first and released by the last. Lock guards all
// of it, and is held for a whole frame.
struct SharedDecoder {
    std::mutex Lock;
    decoder::DecoderState State{};
    int Devices = 0;
};

SharedDecoder g_shared;

// What a frame will need, worked out before anything is written.
struct FramePlan {
    int RawWidth;
    int RawHeight;
    bool SameSize;
    bool Stretch;  // the 128-wide route
    std::int32_t Length;
    std::int16_t Quality;
};

// Checks the raw frame's header and the size pair; on success fills plan.
// Sizes not offered, or a raw/format pair no resize maps, fail: the
// resizers would write nothing and leave a stale picture behind a "good"
// frame.
bool PlanFrame(const std::uint8_t* rawFrame, int rawWidth, int rawHeight, int formatWidth,
               int formatHeight, int kind, std::size_t workBufferBytes, FramePlan* plan) {
    if (rawFrame == nullptr)
        return false;
    const std::uint8_t quality = rawFrame[kRawQualityOffset];
    if (quality > kMaxQualityIndex)
        return false;
    const std::uint32_t length = RawFrameLength(rawFrame);
    if (length < kRawHeaderSize ||
        length > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        return false;
    }
    plan->Length = static_cast<std::int32_t>(length);
    plan->Quality = quality;

    if (formatWidth == 128) {
        rawWidth = kStretchSourceWidth;
        rawHeight = kStretchSourceHeight;
    }
    plan->RawWidth = rawWidth;
    plan->RawHeight = rawHeight;
    plan->SameSize = rawWidth == formatWidth && rawHeight == formatHeight;
    plan->Stretch = formatWidth == 128;

    if (plan->SameSize) {
        // The decoder's picture must be exactly the format's (160x120 would
        // decode 128 rows).
        const std::size_t picture = kind == decoder::kOutputBgr
                                        ? RgbPictureBytes(formatWidth, formatHeight)
                                        : PlanarPictureBytes(formatWidth, formatHeight);
        return picture != 0 &&
               decoder::DecoderOutputBytes(formatWidth, formatHeight, kind) == picture;
    }
    const std::size_t rawPlanar = PlanarPictureBytes(rawWidth, rawHeight);
    if (rawPlanar == 0 || rawPlanar > workBufferBytes ||
        decoder::DecoderOutputBytes(rawWidth, rawHeight, decoder::kOutputI420) != rawPlanar) {
        return false;
    }
    if (plan->Stretch) {
        return IsKnownResamplePair(kStretchSourceWidth, kStretchedHeight, formatWidth,
                                   formatHeight);
    }
    return IsKnownResamplePair(rawWidth, rawHeight, formatWidth, formatHeight);
}

// DecoderBuildRowTable then DecodePicture; 1 for a decoded picture.
int DecodeInto(decoder::DecoderState* state, const std::uint8_t* rawFrame, const FramePlan& plan,
               int width, int height, int kind, std::uint8_t* target) {
    if (decoder::DecoderBuildRowTable(state, width, height, kind, target) == 0)
        return 0;
    return decoder::DecodePicture(state, rawFrame + kRawHeaderSize, plan.Length, target, kind);
}

}  // namespace

std::uint32_t RawFrameLength(const std::uint8_t* rawFrame) {
    const std::uint8_t* p = rawFrame + kRawLengthOffset;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void BuildPassThroughHeader(std::uint8_t* header, std::uint32_t gamma, std::uint32_t contrast) {
    if (header == nullptr)
        return;
    std::memset(header, 0, kPassThroughClearedBytes);
    header[kPassThroughVersionOffset] = static_cast<std::uint8_t>(kPassThroughVersion & 0xFF);
    header[kPassThroughVersionOffset + 1] = static_cast<std::uint8_t>(kPassThroughVersion >> 8);
    header[kPassThroughGammaOffset] = static_cast<std::uint8_t>(gamma);
    header[kPassThroughContrastOffset] = static_cast<std::uint8_t>(contrast & 0xFF);
    header[kPassThroughContrastOffset + 1] = static_cast<std::uint8_t>((contrast >> 8) & 0xFF);
}

const SizePlanEntry* FindSizePlan(int formatWidth, int formatHeight) {
    for (const SizePlanEntry& entry : kSizePlan) {
        if (entry.FormatWidth == formatWidth && entry.FormatHeight == formatHeight)
            return &entry;
    }
    return nullptr;
}

int SharedDecoderAcquire(const decoder::DecoderAllocator* allocator) {
    std::lock_guard<std::mutex> guard(g_shared.Lock);
    ++g_shared.Devices;
    if (g_shared.State.Ready == 0 && allocator != nullptr) {
        decoder::DecoderInitialize(&g_shared.State, allocator);
    }
    return g_shared.State.Ready != 0 ? 1 : 0;
}

void SharedDecoderRelease() {
    std::lock_guard<std::mutex> guard(g_shared.Lock);
    if (g_shared.Devices == 0)
        return;  // unbalanced release: nothing to give back
    if (--g_shared.Devices == 0) {
        decoder::DecoderRelease(&g_shared.State);
        g_shared.State = decoder::DecoderState{};
    }
}

bool SharedDecoderReady() {
    std::lock_guard<std::mutex> guard(g_shared.Lock);
    return g_shared.State.Ready != 0;
}

namespace {

// The two routes on a decoder state the caller holds for the whole frame.
int RenderPlanarOn(decoder::DecoderState* state, const ProcessingOptions* options,
                   const std::uint8_t* rawFrame, std::uint8_t* output, std::size_t outputCapacity,
                   std::size_t* bytesWritten, int rawWidth, int rawHeight, int formatWidth,
                   int formatHeight) {
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    if (output == nullptr || state == nullptr || state->Ready == 0)
        return 0;
    FramePlan plan{};
    if (!PlanFrame(rawFrame, rawWidth, rawHeight, formatWidth, formatHeight, decoder::kOutputI420,
                   state->WorkBufferBytes, &plan)) {
        return 0;
    }
    const std::size_t picture = PlanarPictureBytes(formatWidth, formatHeight);
    if (picture > outputCapacity)
        return 0;
    const std::uint8_t tone = ToneCurveIndexOf(options);

    if (decoder::DecoderSelectQuality(state, plan.Quality) == 0)
        return 0;

    if (plan.SameSize) {
        if (DecodeInto(state, rawFrame, plan, formatWidth, formatHeight, decoder::kOutputI420,
                       output) == 0) {
            return 0;
        }
    } else {
        std::uint8_t* a = state->WorkBufferA;
        std::uint8_t* b = state->WorkBufferB;
        if (DecodeInto(state, rawFrame, plan, plan.RawWidth, plan.RawHeight, decoder::kOutputI420,
                       a) == 0) {
            return 0;
        }
        // The plan has checked both pairs; a refusal here would leave the
        // output stale, so it fails the frame rather than pass as rendered.
        const int resized = plan.Stretch
                                ? StretchPicture(a, b, kStretchSourceWidth, kStretchSourceHeight,
                                                 kStretchSourceWidth, kStretchedHeight) &&
                                      ResamplePicture(b, output, kStretchSourceWidth,
                                                      kStretchedHeight, formatWidth, formatHeight)
                                : ResamplePicture(a, output, plan.RawWidth, plan.RawHeight,
                                                  formatWidth, formatHeight);
        if (resized == 0)
            return 0;
    }
    if (tone != 0)
        ApplyToneCurve(output, formatWidth, formatHeight);
    if (bytesWritten != nullptr)
        *bytesWritten = picture;
    return 1;
}

int RenderRgbOn(decoder::DecoderState* state, const ProcessingOptions* options,
                const std::uint8_t* rawFrame, std::uint8_t* output, std::size_t outputCapacity,
                std::size_t* bytesWritten, int rawWidth, int rawHeight, int formatWidth,
                int formatHeight) {
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    if (output == nullptr || state == nullptr || state->Ready == 0)
        return 0;
    const std::uint8_t tone = ToneCurveIndexOf(options);
    FramePlan plan{};
    // The direct route decodes B,G,R straight into the output; every other
    // route decodes planar into a work picture.
    const bool directCandidate =
        tone == 0 && formatWidth != 128 && rawWidth == formatWidth && rawHeight == formatHeight;
    if (!PlanFrame(rawFrame, rawWidth, rawHeight, formatWidth, formatHeight,
                   directCandidate ? decoder::kOutputBgr : decoder::kOutputI420,
                   state->WorkBufferBytes, &plan)) {
        return 0;
    }
    const std::size_t picture = RgbPictureBytes(formatWidth, formatHeight);
    if (picture > outputCapacity)
        return 0;
    // The 128-wide route stretches into the output buffer as scratch.
    if (plan.Stretch &&
        PlanarPictureBytes(kStretchSourceWidth, kStretchedHeight) > outputCapacity) {
        return 0;
    }
    // Same size but not direct: the planar picture goes through work
    // picture A, which must hold it (the driver's buffers do not hold a
    // 640x480 one).
    if (!directCandidate && plan.SameSize &&
        PlanarPictureBytes(formatWidth, formatHeight) > state->WorkBufferBytes) {
        return 0;
    }

    if (decoder::DecoderSelectQuality(state, plan.Quality) == 0)
        return 0;

    if (directCandidate) {
        if (DecodeInto(state, rawFrame, plan, formatWidth, formatHeight, decoder::kOutputBgr,
                       output) == 0) {
            return 0;
        }
        if (bytesWritten != nullptr)
            *bytesWritten = picture;
        return 1;
    }

    std::uint8_t* a = state->WorkBufferA;
    std::uint8_t* b = state->WorkBufferB;
    if (plan.SameSize) {
        if (DecodeInto(state, rawFrame, plan, formatWidth, formatHeight, decoder::kOutputI420, a) ==
            0) {
            return 0;
        }
    } else {
        if (DecodeInto(state, rawFrame, plan, plan.RawWidth, plan.RawHeight, decoder::kOutputI420,
                       b) == 0) {
            return 0;
        }
        const int resized =
            plan.Stretch
                ? StretchPicture(b, output, kStretchSourceWidth, kStretchSourceHeight,
                                 kStretchSourceWidth, kStretchedHeight) &&
                      ResamplePicture(output, a, kStretchSourceWidth, kStretchedHeight, formatWidth,
                                      formatHeight)
                : ResamplePicture(b, a, plan.RawWidth, plan.RawHeight, formatWidth, formatHeight);
        if (resized == 0)
            return 0;
    }
    if (tone != 0)
        ApplyToneCurve(a, formatWidth, formatHeight);
    ConvertToRgb(a, output, formatWidth, formatHeight);
    if (bytesWritten != nullptr)
        *bytesWritten = picture;
    return 1;
}

int RenderOn(decoder::DecoderState* state, const ProcessingOptions* options,
             const std::uint8_t* rawFrame, std::uint8_t* output, std::size_t outputCapacity,
             std::size_t* bytesWritten, int rawWidth, int rawHeight, int formatWidth,
             int formatHeight, std::uint32_t outputCompression) {
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    switch (outputCompression) {
        case kCompressionRgb:
            return RenderRgbOn(state, options, rawFrame, output, outputCapacity, bytesWritten,
                               rawWidth, rawHeight, formatWidth, formatHeight);
        case kFourccI420:
        case kFourccIyuv:
            return RenderPlanarOn(state, options, rawFrame, output, outputCapacity, bytesWritten,
                                  rawWidth, rawHeight, formatWidth, formatHeight);
        default:
            return 1;  // nothing to render for this kind; the frame still counts
    }
}

}  // namespace

int RenderPlanar(const ProcessingOptions* options, const std::uint8_t* rawFrame,
                 std::uint8_t* output, std::size_t outputCapacity, std::size_t* bytesWritten,
                 int rawWidth, int rawHeight, int formatWidth, int formatHeight) {
    std::lock_guard<std::mutex> guard(g_shared.Lock);
    return RenderPlanarOn(&g_shared.State, options, rawFrame, output, outputCapacity, bytesWritten,
                          rawWidth, rawHeight, formatWidth, formatHeight);
}

int RenderRgb(const ProcessingOptions* options, const std::uint8_t* rawFrame, std::uint8_t* output,
              std::size_t outputCapacity, std::size_t* bytesWritten, int rawWidth, int rawHeight,
              int formatWidth, int formatHeight) {
    std::lock_guard<std::mutex> guard(g_shared.Lock);
    return RenderRgbOn(&g_shared.State, options, rawFrame, output, outputCapacity, bytesWritten,
                       rawWidth, rawHeight, formatWidth, formatHeight);
}

int RenderFrameWith(decoder::DecoderState* state, const ProcessingOptions* options,
                    const std::uint8_t* rawFrame, std::uint8_t* output,
                    std::size_t outputCapacity, std::size_t* bytesWritten, int rawWidth,
                    int rawHeight, int formatWidth, int formatHeight,
                    std::uint32_t outputCompression) {
    return RenderOn(state, options, rawFrame, output, outputCapacity, bytesWritten, rawWidth,
                    rawHeight, formatWidth, formatHeight, outputCompression);
}

int RenderFrame(const ProcessingOptions* options, const std::uint8_t* rawFrame,
                std::uint8_t* output, std::size_t outputCapacity, std::size_t* bytesWritten,
                int rawWidth, int rawHeight, int formatWidth, int formatHeight,
                std::uint32_t outputCompression) {
    std::lock_guard<std::mutex> guard(g_shared.Lock);
    return RenderOn(&g_shared.State, options, rawFrame, output, outputCapacity, bytesWritten,
                    rawWidth, rawHeight, formatWidth, formatHeight, outputCompression);
}

}  // namespace dualcam::pipeline
