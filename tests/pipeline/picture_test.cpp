// Resizers and RGB conversion: which rows and columns survive a shrink,
// how the stretch repeats and blends, that unknown pairs write nothing, and
// the fixed-point conversion's values, clamping and bottom-up placement.
#include "pipeline/picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace dualcam::pipeline {
namespace {

// A planar picture whose every byte names its source row (Y: row + 1, Cb:
// row + 1, Cr: 200 - row), so a resized picture shows where each row came from.
std::vector<std::uint8_t> RowCoded(int w, int h) {
    std::vector<std::uint8_t> p(PlanarPictureBytes(w, h));
    const std::size_t luma = static_cast<std::size_t>(w) * h;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            p[static_cast<std::size_t>(r) * w + c] = static_cast<std::uint8_t>(r + 1);
    for (int r = 0; r < h / 2; ++r)
        for (int c = 0; c < w / 2; ++c) {
            p[luma + static_cast<std::size_t>(r) * (w / 2) + c] = static_cast<std::uint8_t>(r + 1);
            p[luma * 5 / 4 + static_cast<std::size_t>(r) * (w / 2) + c] =
                static_cast<std::uint8_t>(200 - r);
        }
    return p;
}

// Same, naming the source column (modulo 256) instead.
std::vector<std::uint8_t> ColumnCoded(int w, int h) {
    std::vector<std::uint8_t> p(PlanarPictureBytes(w, h));
    const std::size_t luma = static_cast<std::size_t>(w) * h;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            p[static_cast<std::size_t>(r) * w + c] = static_cast<std::uint8_t>(c);
    for (std::size_t i = 0; i < luma / 2; ++i) p[luma + i] = static_cast<std::uint8_t>(i % (w / 2));
    return p;
}

std::uint8_t At(const std::vector<std::uint8_t>& p, std::size_t plane, int w, int r, int c) {
    return p[plane + static_cast<std::size_t>(r) * w + c];
}

TEST(PictureStretch, LumaRowsRepeatTheLastRowOfEachBand) {
    const auto src = RowCoded(160, 112);
    std::vector<std::uint8_t> dst(PlanarPictureBytes(160, 120), 0);
    ASSERT_EQ(StretchPicture(src.data(), dst.data(), 160, 112, 160, 120), 1);
    // Rows counted from 1: output 14 and 15 are source 14, 16 is source 15,
    // 120 equals 119.
    EXPECT_EQ(At(dst, 0, 160, 13, 0), 14);
    EXPECT_EQ(At(dst, 0, 160, 14, 159), 14);
    EXPECT_EQ(At(dst, 0, 160, 15, 77), 15);
    EXPECT_EQ(At(dst, 0, 160, 119, 5), At(dst, 0, 160, 118, 5));
    EXPECT_EQ(At(dst, 0, 160, 119, 5), 112);
    // Every output row: eight bands of 15 rows, the 15th repeating the 14th.
    for (int o = 0; o < 120; ++o) {
        const int band = o / 15, j = o % 15;
        const int source = band * 14 + (j < 14 ? j : 13);
        for (int c = 0; c < 160; c += 53)
            EXPECT_EQ(At(dst, 0, 160, o, c), source + 1) << "row " << o;
    }
}

TEST(PictureStretch, ChromaBlendsTheSecondHalfOfEachBandRoundingDown) {
    auto src = RowCoded(160, 112);
    const std::size_t luma = 160 * 112;
    // Cb rows 6 and 7 of the first band (0-based): 10 above 13.
    for (int c = 0; c < 80; ++c) {
        src[luma + 6 * 80 + c] = 10;
        src[luma + 7 * 80 + c] = 13;
    }
    std::vector<std::uint8_t> dst(PlanarPictureBytes(160, 120), 0);
    ASSERT_EQ(StretchPicture(src.data(), dst.data(), 160, 112, 160, 120), 1);
    const std::size_t cb = 160 * 120, cr = cb * 5 / 4;
    EXPECT_EQ(At(dst, cb, 80, 6, 0), 10);   // first seven rows copied
    EXPECT_EQ(At(dst, cb, 80, 7, 40), 11);  // (13 + 10) >> 1, not 12
    // Cr rows are 200 - r: every band of 15 is 7 copies, 7 means with the
    // row above, then the band's last source row again.
    for (int band = 0; band < 4; ++band) {
        for (int j = 0; j < 15; ++j) {
            const int r = band * 14 + (j < 14 ? j : 13);
            const int expected = (j >= 7 && j < 14) ? ((200 - r) + (200 - (r - 1))) >> 1 : 200 - r;
            EXPECT_EQ(At(dst, cr, 80, band * 15 + j, 79), expected)
                << "band " << band << " row " << j;
        }
    }
}

TEST(PictureShrink, DropsTheLastRowOfEverySixteenFrom160x128) {
    const auto src = RowCoded(160, 128);
    std::vector<std::uint8_t> dst(PlanarPictureBytes(160, 120), 0);
    ASSERT_EQ(ResamplePicture(src.data(), dst.data(), 160, 128, 160, 120), 1);
    std::vector<int> kept;
    for (int r = 1; r <= 128; ++r)
        if (r % 16 != 0)
            kept.push_back(r);
    for (int o = 0; o < 120; ++o) EXPECT_EQ(At(dst, 0, 160, o, 100), kept[o]) << "row " << o;
    // Chroma rows 16, 32, 48, 64 (from 1) disappear from both planes.
    const std::size_t cb = 160 * 120, cr = cb * 5 / 4;
    for (int o = 0; o < 60; ++o) {
        const int source = o + o / 15 + 1;
        EXPECT_EQ(At(dst, cb, 80, o, 3), source);
        EXPECT_EQ(At(dst, cr, 80, o, 3), 200 - (source - 1));
    }
}

TEST(PictureShrink, DropsEveryFourthRowAndColumnFrom320x240) {
    const auto rows = RowCoded(320, 240);
    const auto columns = ColumnCoded(320, 240);
    std::vector<std::uint8_t> byRow(PlanarPictureBytes(240, 180)), byColumn(byRow.size());
    ASSERT_EQ(ResamplePicture(rows.data(), byRow.data(), 320, 240, 240, 180), 1);
    ASSERT_EQ(ResamplePicture(columns.data(), byColumn.data(), 320, 240, 240, 180), 1);
    for (int o = 0; o < 180; ++o) {
        const int source = (o / 3) * 4 + o % 3;  // 0-based; 4, 8, ... 240 (from 1) dropped
        EXPECT_EQ(At(byRow, 0, 240, o, 17), static_cast<std::uint8_t>(source + 1));
    }
    for (int o = 0; o < 240; ++o) {
        const int source = (o / 3) * 4 + o % 3;
        EXPECT_EQ(At(byColumn, 0, 240, 91, o), static_cast<std::uint8_t>(source));
    }
    for (int o = 0; o < 120; ++o) {  // chroma: 160 -> 120 columns, same rule
        const int source = (o / 3) * 4 + o % 3;
        EXPECT_EQ(At(byColumn, 240 * 180, 120, 44, o), static_cast<std::uint8_t>(source));
    }
}

TEST(PictureShrink, FiveToFourIn160x120To128x96) {
    const auto rows = RowCoded(160, 120);
    const auto columns = ColumnCoded(160, 120);
    std::vector<std::uint8_t> byRow(PlanarPictureBytes(128, 96)), byColumn(byRow.size());
    ASSERT_EQ(ResamplePicture(rows.data(), byRow.data(), 160, 120, 128, 96), 1);
    ASSERT_EQ(ResamplePicture(columns.data(), byColumn.data(), 160, 120, 128, 96), 1);
    for (int o = 0; o < 96; ++o) EXPECT_EQ(At(byRow, 0, 128, o, 0), (o / 4) * 5 + o % 4 + 1);
    for (int o = 0; o < 128; ++o) EXPECT_EQ(At(byColumn, 0, 128, 95, o), (o / 4) * 5 + o % 4);
    for (int o = 0; o < 48; ++o) EXPECT_EQ(At(byRow, 128 * 96, 64, o, 63), (o / 4) * 5 + o % 4 + 1);
}

TEST(PictureResample, PairsOutsideTheTableWriteNothing) {
    const auto src = RowCoded(640, 480);
    struct Pair {
        int sw, sh, dw, dh;
    };
    const Pair pairs[] = {{160, 120, 160, 120}, {640, 480, 320, 240}, {176, 144, 128, 96},
                          {160, 112, 160, 120}, {320, 240, 160, 120}, {0, 0, 0, 0}};
    for (const Pair& p : pairs) {
        std::vector<std::uint8_t> dst(PlanarPictureBytes(640, 480), 0xA5);
        EXPECT_EQ(ResamplePicture(src.data(), dst.data(), p.sw, p.sh, p.dw, p.dh), 0);
        EXPECT_EQ(std::count(dst.begin(), dst.end(), 0xA5), static_cast<long>(dst.size()))
            << p.sw << "x" << p.sh << " -> " << p.dw << "x" << p.dh;
    }
}

TEST(PictureResample, ResizersRefusePairsTheirRuleCannotMapExactly) {
    const auto src = RowCoded(352, 288);
    std::vector<std::uint8_t> dst(PlanarPictureBytes(352, 288), 0x3C);
    EXPECT_EQ(ShrinkPicture(src.data(), dst.data(), 160, 120, 176, 144), 0);   // growth
    EXPECT_EQ(ShrinkPicture(src.data(), dst.data(), 352, 288, 300, 288), 0);   // k = 6 misses 300
    EXPECT_EQ(ShrinkPicture(src.data(), dst.data(), 161, 120, 128, 96), 0);    // odd
    EXPECT_EQ(StretchPicture(src.data(), dst.data(), 160, 112, 176, 120), 0);  // width changes
    EXPECT_EQ(StretchPicture(src.data(), dst.data(), 160, 120, 160, 112), 0);  // shrink
    EXPECT_EQ(StretchPicture(src.data(), dst.data(), 160, 112, 160, 122), 0);  // not exact
    EXPECT_EQ(StretchPicture(nullptr, dst.data(), 160, 112, 160, 120), 0);
    EXPECT_EQ(std::count(dst.begin(), dst.end(), 0x3C), static_cast<long>(dst.size()));
}

// Planar picture with every pixel given; chroma per 2x2 block.
std::vector<std::uint8_t> Planar(int w, int h, std::uint8_t y, std::uint8_t cb, std::uint8_t cr) {
    std::vector<std::uint8_t> p(PlanarPictureBytes(w, h));
    const std::size_t luma = static_cast<std::size_t>(w) * h;
    std::fill(p.begin(), p.begin() + static_cast<long>(luma), y);
    std::fill(p.begin() + static_cast<long>(luma), p.begin() + static_cast<long>(luma * 5 / 4), cb);
    std::fill(p.begin() + static_cast<long>(luma * 5 / 4), p.end(), cr);
    return p;
}

TEST(PictureConvert, GreyKeepsLuminanceAndExtremesClamp) {
    for (int y = 0; y < 256; ++y) {
        const auto src = Planar(2, 2, static_cast<std::uint8_t>(y), 128, 128);
        std::uint8_t bgr[12];
        ConvertToRgb(src.data(), bgr, 2, 2);
        for (std::uint8_t v : bgr) ASSERT_EQ(v, y);
    }
    struct Case {
        std::uint8_t y, cb, cr, b, g, r;
    };
    const Case cases[] = {
        {255, 255, 128, 255, 211, 255},  // blue sum 480 clamps to 255
        {0, 0, 128, 0, 44, 0},           // blue sum -227 clamps to 0
        {128, 255, 128, 255, 84, 128},   // green uses 22,553: 84, where 22,554 would give 85
        {0, 128, 255, 0, 0, 178},        // 91,881 x 127 >> 16
        {200, 128, 0, 200, 255, 20},     // green 200 + 91.4 clamps; red floors 20.6 -> 20
        {16, 90, 240, 0, 0, 173},
    };
    for (const Case& c : cases) {
        const auto src = Planar(2, 2, c.y, c.cb, c.cr);
        std::uint8_t bgr[12];
        ConvertToRgb(src.data(), bgr, 2, 2);
        EXPECT_EQ(bgr[0], c.b) << int(c.y) << "," << int(c.cb) << "," << int(c.cr);
        EXPECT_EQ(bgr[1], c.g) << int(c.y) << "," << int(c.cb) << "," << int(c.cr);
        EXPECT_EQ(bgr[2], c.r) << int(c.y) << "," << int(c.cb) << "," << int(c.cr);
    }
}

TEST(PictureConvert, RowsLandBottomUpAndBlocksShareTheirChroma) {
    // 4x4: luminance names the pixel, each 2x2 block has its own chroma.
    const int w = 4, h = 4;
    std::vector<std::uint8_t> src(PlanarPictureBytes(w, h));
    for (int i = 0; i < 16; ++i) src[i] = static_cast<std::uint8_t>(10 + 10 * i);
    const std::uint8_t cb[4] = {128, 100, 150, 128}, cr[4] = {128, 128, 90, 170};
    for (int i = 0; i < 4; ++i) {
        src[16 + i] = cb[i];
        src[20 + i] = cr[i];
    }
    std::vector<std::uint8_t> dst(RgbPictureBytes(w, h), 0);
    ConvertToRgb(src.data(), dst.data(), w, h);
    // Top-left grey pixel pair at the start of the last memory row.
    const std::size_t last = static_cast<std::size_t>(h - 1) * w * 3;
    EXPECT_EQ(dst[last + 0], 10);
    EXPECT_EQ(dst[last + 3], 20);
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const int block = (r / 2) * 2 + c / 2;
            const std::int64_t ys = static_cast<std::int64_t>(src[r * w + c]) << 16;
            auto clamp = [](std::int64_t v) {
                return static_cast<int>(v < 0 ? 0 : v > 255 ? 255 : v);
            };
            auto floorShift = [](std::int64_t v) {
                return v >= 0 ? v / 65536 : -((-v + 65535) / 65536);
            };
            const int b = clamp(floorShift(ys + 116129LL * (cb[block] - 128)));
            const int g =
                clamp(floorShift(ys - 46801LL * (cr[block] - 128) - 22553LL * (cb[block] - 128)));
            const int red = clamp(floorShift(ys + 91881LL * (cr[block] - 128)));
            const std::uint8_t* px = &dst[static_cast<std::size_t>(h - 1 - r) * w * 3 + c * 3];
            EXPECT_EQ(px[0], b) << r << "," << c;
            EXPECT_EQ(px[1], g) << r << "," << c;
            EXPECT_EQ(px[2], red) << r << "," << c;
        }
    }
}

TEST(PictureConvert, OddOrEmptySizesWriteNothing) {
    std::vector<std::uint8_t> src(64, 128), dst(64, 0x77);
    ConvertToRgb(src.data(), dst.data(), 3, 2);
    ConvertToRgb(src.data(), dst.data(), 2, 0);
    EXPECT_EQ(std::count(dst.begin(), dst.end(), 0x77), 64);
}

}  // namespace
}  // namespace dualcam::pipeline
