// Picture operations applied after decoding: the fixed-factor resizers
// between the camera's raw sizes and the offered format sizes, and the
// planar 4:2:0 to bottom-up 24-bit RGB conversion.
//
// Hard part: the resizers are not general scalers. Each works with one
// integer factor per direction (drop or add one row/column per k), so only
// the size pairs the camera needs are valid; everything else must write
// nothing rather than run off the end of a buffer.
//
// Layouts. Planar picture (w x h, both even): w*h bytes of Y top-down, then
// (w/2)*(h/2) bytes of Cb, then the same of Cr, rows unpadded. RGB picture:
// rows of 3w bytes B,G,R, the first row in memory is the bottom row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dualcam::pipeline {

inline constexpr std::size_t PlanarPictureBytes(int width, int height) {
    return width <= 0 || height <= 0
               ? 0
               : static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2;
}
inline constexpr std::size_t RgbPictureBytes(int width, int height) {
    return width <= 0 || height <= 0
               ? 0
               : static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
}

// Drops one of every kx columns and ky rows (the last of each group), with
// k = s / (s - d), or k = d when a dimension does not change. Returns 1 when
// it wrote the picture, 0 (nothing written) when the pair cannot be shrunk
// exactly by that rule (growth, odd sizes, factors that miss the target).
// Source and destination must not overlap.
int ShrinkPicture(const std::uint8_t* source, std::uint8_t* destination, int sourceWidth,
                  int sourceHeight, int destinationWidth, int destinationHeight);

// Adds one row after every ky source rows (k = s / (d - s)); the width must
// not change. Y repeats the band's last row; chroma blends the second half
// of each band with the row above ((a + b) >> 1) and then repeats the last
// row. Returns 1 when written, 0 (nothing written) for a pair the rule does
// not produce exactly. Used for 160x112 -> 160x120.
int StretchPicture(const std::uint8_t* source, std::uint8_t* destination, int sourceWidth,
                   int sourceHeight, int destinationWidth, int destinationHeight);

// The known shrink pairs: 160x120->128x96, 160x128->160x120,
// 320x240->240x180. Returns 1 when the pair is known (and written), 0 when
// it is not: nothing is written then.
int ResamplePicture(const std::uint8_t* source, std::uint8_t* destination, int sourceWidth,
                    int sourceHeight, int destinationWidth, int destinationHeight);
bool IsKnownResamplePair(int sourceWidth, int sourceHeight, int destinationWidth,
                         int destinationHeight);

// Planar w x h -> bottom-up B,G,R in 16.16 fixed point (multipliers 91,881
// Cr->R, 116,129 Cb->B, 22,553 Cb->G, 46,801 Cr->G, arithmetic shifts).
// Width and height must be even and positive, otherwise nothing is written.
void ConvertToRgb(const std::uint8_t* source, std::uint8_t* destination, int width, int height);

}  // namespace dualcam::pipeline
