// Picture operations after decoding: fixed-factor shrink and stretch of
// planar 4:2:0 pictures, and the planar to bottom-up B,G,R conversion.
//
// Hard part: the resizers derive one integer factor per direction from the
// sizes (k = s / (s - d) to shrink, k = s / (d - s) to stretch) and then
// walk whole bands of k rows and groups of k bytes. A pair the rule does
// not map exactly would leave rows unwritten or run past the destination,
// so every pair is checked against the rule, for the luminance plane and
// for the half-size chroma planes, before a byte is written.
#include "pipeline/picture.h"

#include <array>
#include <cstring>

#include "pipeline/decoder/decoder.h"

namespace dualcam::pipeline {
namespace {

// One direction of a resize: source and destination extent and the factor.
struct Axis {
    int Source;
    int Destination;
    int Factor;  // k; equal to Destination when the extent does not change
    bool Same;
};

// Shrink factor for s -> d (d <= s). Valid when the bands of k cover s
// exactly and keeping k - 1 of each gives d.
bool ShrinkAxis(int s, int d, Axis* axis) {
    if (s <= 0 || d <= 0 || d > s)
        return false;
    if (s == d) {
        *axis = {s, d, d, true};
        return true;
    }
    const int k = s / (s - d);
    if (k < 2 || s % k != 0 || (s / k) * (k - 1) != d)
        return false;
    *axis = {s, d, k, false};
    return true;
}

// Stretch factor for s -> d (d > s). Valid when the bands of k cover s
// exactly and each band of k rows yields k + 1.
bool StretchAxis(int s, int d, Axis* axis) {
    if (s <= 0 || d <= s)
        return false;
    const int k = s / (d - s);
    if (k < 1 || s % k != 0 || (s / k) * (k + 1) != d)
        return false;
    *axis = {s, d, k, false};
    return true;
}

// Both planes of a 4:2:0 picture must follow the same factor: the chroma
// plane is the half-size picture shrunk or stretched with the same k.
bool SameFactor(const Axis& luma, const Axis& chroma) {
    return luma.Same ? chroma.Same : !chroma.Same && chroma.Factor == luma.Factor;
}

bool EvenPositive(int w, int h) {
    return w > 0 && h > 0 && w % 2 == 0 && h % 2 == 0;
}

void ShrinkRow(const std::uint8_t* source, std::uint8_t* destination, const Axis& x) {
    if (x.Same) {
        std::memcpy(destination, source, static_cast<std::size_t>(x.Source));
        return;
    }
    const int keep = x.Factor - 1;
    for (int group = 0; group < x.Source / x.Factor; ++group) {
        std::memcpy(destination, source, static_cast<std::size_t>(keep));
        destination += keep;
        source += x.Factor;
    }
}

void ShrinkPlane(const std::uint8_t* source, std::uint8_t* destination, const Axis& x,
                 const Axis& y) {
    if (y.Same) {
        for (int row = 0; row < y.Source; ++row) {
            ShrinkRow(source + static_cast<std::size_t>(row) * x.Source,
                      destination + static_cast<std::size_t>(row) * x.Destination, x);
        }
        return;
    }
    int out = 0;
    for (int band = 0; band < y.Source / y.Factor; ++band) {
        for (int r = 0; r < y.Factor - 1; ++r) {
            const int row = band * y.Factor + r;
            ShrinkRow(source + static_cast<std::size_t>(row) * x.Source,
                      destination + static_cast<std::size_t>(out) * x.Destination, x);
            ++out;
        }
    }
}

// Luminance: each band of k rows is copied and its last row repeated.
void StretchLumaPlane(const std::uint8_t* source, std::uint8_t* destination, int width,
                      const Axis& y) {
    const auto w = static_cast<std::size_t>(width);
    for (int band = 0; band < y.Source / y.Factor; ++band) {
        for (int r = 0; r < y.Factor; ++r) {
            std::memcpy(destination, source, w);
            destination += w;
            source += w;
        }
        std::memcpy(destination, destination - w, w);
        destination += w;
    }
}

// Chroma: the first m = (k + 1) / 2 rows of a band are copied, the rest are
// the mean (rounded down) of the row and the source row above it, and the
// band's last source row is repeated.
void StretchChromaPlane(const std::uint8_t* source, std::uint8_t* destination, int width,
                        const Axis& y) {
    const auto w = static_cast<std::size_t>(width);
    const int m = (y.Factor + 1) / 2;
    for (int band = 0; band < y.Source / y.Factor; ++band) {
        for (int r = 0; r < y.Factor; ++r) {
            if (r < m) {
                std::memcpy(destination, source, w);
            } else {
                const std::uint8_t* above = source - w;
                for (std::size_t i = 0; i < w; ++i) {
                    destination[i] = static_cast<std::uint8_t>((source[i] + above[i]) >> 1);
                }
            }
            destination += w;
            source += w;
        }
        std::memcpy(destination, source - w, w);
        destination += w;
    }
}

struct ResamplePair {
    int SourceWidth, SourceHeight, DestinationWidth, DestinationHeight;
};

// The shrinks the frame path needs: 160x120 -> 128x96 (kx = ky = 5),
// 160x128 -> 160x120 (ky = 16), 320x240 -> 240x180 (kx = ky = 4).
constexpr ResamplePair kResamplePairs[] = {
    {160, 120, 128, 96},
    {160, 128, 160, 120},
    {320, 240, 240, 180},
};

// 16.16 chroma terms K x (c - 128), c = 0..255.
constexpr std::array<std::int32_t, 256> ChromaTerms(std::int32_t multiplier) {
    std::array<std::int32_t, 256> table{};
    for (int c = 0; c < 256; ++c) table[static_cast<std::size_t>(c)] = multiplier * (c - 128);
    return table;
}
constexpr auto kCrToRed = ChromaTerms(91881);
constexpr auto kCbToBlue = ChromaTerms(116129);
constexpr auto kCbToGreen = ChromaTerms(22553);
constexpr auto kCrToGreen = ChromaTerms(46801);

// The sums span -227..480, inside the wide clamp's -384..639.
constexpr int kWideClampLast = 1024 - 1 - decoder::kWideClampOffset;
static_assert((255 * 65536 + kCbToBlue[255]) >> 16 <= kWideClampLast);
static_assert((255 * 65536 + kCrToRed[255]) >> 16 <= kWideClampLast);
static_assert((0 + kCbToBlue[0]) >> 16 >= -decoder::kWideClampOffset);
static_assert((0 - kCrToGreen[255] - kCbToGreen[255]) >> 16 >= -decoder::kWideClampOffset);

}  // namespace

int ShrinkPicture(const std::uint8_t* source, std::uint8_t* destination, int sourceWidth,
                  int sourceHeight, int destinationWidth, int destinationHeight) {
    if (source == nullptr || destination == nullptr)
        return 0;
    if (!EvenPositive(sourceWidth, sourceHeight) ||
        !EvenPositive(destinationWidth, destinationHeight)) {
        return 0;
    }
    Axis x{}, y{}, cx{}, cy{};
    if (!ShrinkAxis(sourceWidth, destinationWidth, &x) ||
        !ShrinkAxis(sourceHeight, destinationHeight, &y)) {
        return 0;
    }
    // Chroma planes use the luminance factors on the half-size plane.
    if (!ShrinkAxis(sourceWidth / 2, destinationWidth / 2, &cx) ||
        !ShrinkAxis(sourceHeight / 2, destinationHeight / 2, &cy) || !SameFactor(x, cx) ||
        !SameFactor(y, cy)) {
        return 0;
    }
    const std::size_t sourceLuma = static_cast<std::size_t>(sourceWidth) * sourceHeight;
    const std::size_t destinationLuma =
        static_cast<std::size_t>(destinationWidth) * destinationHeight;
    ShrinkPlane(source, destination, x, y);
    ShrinkPlane(source + sourceLuma, destination + destinationLuma, cx, cy);
    ShrinkPlane(source + sourceLuma * 5 / 4, destination + destinationLuma * 5 / 4, cx, cy);
    return 1;
}

int StretchPicture(const std::uint8_t* source, std::uint8_t* destination, int sourceWidth,
                   int sourceHeight, int destinationWidth, int destinationHeight) {
    if (source == nullptr || destination == nullptr)
        return 0;
    if (!EvenPositive(sourceWidth, sourceHeight) ||
        !EvenPositive(destinationWidth, destinationHeight) || sourceWidth != destinationWidth) {
        return 0;
    }
    Axis y{}, cy{};
    if (!StretchAxis(sourceHeight, destinationHeight, &y) ||
        !StretchAxis(sourceHeight / 2, destinationHeight / 2, &cy) || !SameFactor(y, cy)) {
        return 0;
    }
    const int w = sourceWidth;
    const std::size_t sourceLuma = static_cast<std::size_t>(w) * sourceHeight;
    const std::size_t destinationLuma = static_cast<std::size_t>(w) * destinationHeight;
    StretchLumaPlane(source, destination, w, y);
    StretchChromaPlane(source + sourceLuma, destination + destinationLuma, w / 2, cy);
    StretchChromaPlane(source + sourceLuma * 5 / 4, destination + destinationLuma * 5 / 4, w / 2,
                       cy);
    return 1;
}

bool IsKnownResamplePair(int sourceWidth, int sourceHeight, int destinationWidth,
                         int destinationHeight) {
    for (const ResamplePair& pair : kResamplePairs) {
        if (pair.SourceWidth == sourceWidth && pair.SourceHeight == sourceHeight &&
            pair.DestinationWidth == destinationWidth &&
            pair.DestinationHeight == destinationHeight) {
            return true;
        }
    }
    return false;
}

int ResamplePicture(const std::uint8_t* source, std::uint8_t* destination, int sourceWidth,
                    int sourceHeight, int destinationWidth, int destinationHeight) {
    if (!IsKnownResamplePair(sourceWidth, sourceHeight, destinationWidth, destinationHeight)) {
        return 0;
    }
    return ShrinkPicture(source, destination, sourceWidth, sourceHeight, destinationWidth,
                         destinationHeight);
}

void ConvertToRgb(const std::uint8_t* source, std::uint8_t* destination, int width, int height) {
    if (source == nullptr || destination == nullptr || !EvenPositive(width, height))
        return;
    const decoder::DecoderTables& tables = decoder::SharedDecoderTables();
    const std::uint8_t* clamp = tables.WideClamp();
    const std::int32_t* shift = tables.ShiftTable;

    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const std::size_t chromaWidth = w / 2;
    const std::uint8_t* cbPlane = source + w * h;
    const std::uint8_t* crPlane = cbPlane + chromaWidth * (h / 2);
    const std::size_t stride = w * 3;

    for (std::size_t i = 0; i < h / 2; ++i) {
        const std::uint8_t* luma[2] = {source + (2 * i) * w, source + (2 * i + 1) * w};
        // Source row r lands in memory row h - 1 - r (bottom-up).
        std::uint8_t* out[2] = {destination + (h - 1 - 2 * i) * stride,
                                destination + (h - 2 - 2 * i) * stride};
        const std::uint8_t* cb = cbPlane + i * chromaWidth;
        const std::uint8_t* cr = crPlane + i * chromaWidth;
        for (std::size_t j = 0; j < chromaWidth; ++j) {
            const std::int32_t blue = kCbToBlue[cb[j]];
            const std::int32_t green = -kCrToGreen[cr[j]] - kCbToGreen[cb[j]];
            const std::int32_t red = kCrToRed[cr[j]];
            for (int row = 0; row < 2; ++row) {
                for (std::size_t column = 2 * j; column < 2 * j + 2; ++column) {
                    const std::int32_t ys = shift[luma[row][column]];
                    std::uint8_t* pixel = out[row] + column * 3;
                    pixel[0] = clamp[(ys + blue) >> 16];
                    pixel[1] = clamp[(ys + green) >> 16];
                    pixel[2] = clamp[(ys + red) >> 16];
                }
            }
        }
    }
}

}  // namespace dualcam::pipeline
