// Tone curves: the published values of the ten curves, the staging and
// caching rules of SetToneCurve, and ApplyToneCurve's reach.
#include "pipeline/tone_curve.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace dualcam::pipeline {
namespace {

class ToneCurveTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetToneState(); }
    void TearDown() override { ResetToneState(); }

    static ToneStateView State() {
        ToneStateView view{};
        ReadToneState(&view);
        return view;
    }
    static bool ActiveIs(int curve) {
        return std::memcmp(State().Active, ToneCurveTable(curve), kToneCurveEntries) == 0;
    }
};

TEST_F(ToneCurveTest, CurvesReproduceTheTellingValues) {
    const int inputs[] = {1, 16, 64, 128, 192, 254};
    const int curves[] = {1, 3, 5, 7, 9};
    const int expected[6][5] = {
        {2, 7, 15, 25, 35},        {25, 45, 63, 80, 94},      {80, 107, 127, 143, 155},
        {143, 165, 180, 191, 199}, {201, 213, 221, 226, 230}, {254, 254, 254, 254, 254},
    };
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 5; ++j)
            EXPECT_EQ(ToneCurveTable(curves[j])[inputs[i]], expected[i][j])
                << "curve " << curves[j] << " at " << inputs[i];
    for (int k = 0; k < kToneCurveCount; ++k) {
        EXPECT_EQ(ToneCurveTable(k)[0], 0) << k;
        EXPECT_EQ(ToneCurveTable(k)[255], 255) << k;
        for (int v = 1; v < 256; ++v)
            ASSERT_GE(ToneCurveTable(k)[v], ToneCurveTable(k)[v - 1]) << k;
    }
    for (int v = 0; v < 256; ++v) EXPECT_EQ(ToneCurveTable(0)[v], v);
}

TEST_F(ToneCurveTest, ZeroAfterFiveStopsMappingAndFiveAgainReusesTheStagedCurve) {
    ProcessingOptions options{};
    EXPECT_EQ(State().LastStaged, 12);
    EXPECT_EQ(State().LastRequested, -1);

    SetToneCurve(&options, 5);
    EXPECT_EQ(options.ToneCurveIndex, 5);
    EXPECT_TRUE(ActiveIs(5));
    EXPECT_EQ(State().StagingLoads, 1u);

    SetToneCurve(&options, 0);
    EXPECT_EQ(options.ToneCurveIndex, 0);
    EXPECT_TRUE(ActiveIs(5));  // kept, just not applied
    EXPECT_EQ(State().LastRequested, 5);

    SetToneCurve(&options, 5);
    EXPECT_EQ(options.ToneCurveIndex, 5);
    EXPECT_TRUE(ActiveIs(5));
    EXPECT_EQ(State().StagingLoads, 1u);  // not reloaded from the table

    SetToneCurve(&options, 3);
    SetToneCurve(&options, 5);
    EXPECT_TRUE(ActiveIs(5));
    EXPECT_EQ(State().StagingLoads, 3u);
}

TEST_F(ToneCurveTest, ZeroBeforeAnyCurveLeavesTheActiveCurveEmpty) {
    ProcessingOptions options{};
    options.ToneCurveIndex = 7;
    SetToneCurve(&options, 0);
    EXPECT_EQ(options.ToneCurveIndex, 0);
    const ToneStateView view = State();
    for (std::uint8_t v : view.Active) ASSERT_EQ(v, 0);
    EXPECT_EQ(view.StagingLoads, 0u);
}

// An index outside 0..9 used to slip past the staging (it matched the
// "nothing staged" sentinel 12 or "nothing requested" -1) and activate the
// all-zero staging copy, blacking out every picture; it is clamped instead.
TEST_F(ToneCurveTest, OutOfRangeIndicesAreClampedNotActivatedAsZeroCurve) {
    ProcessingOptions options{};
    SetToneCurve(&options, 12);
    EXPECT_EQ(options.ToneCurveIndex, 9);
    EXPECT_TRUE(ActiveIs(9));

    ResetToneState();
    SetToneCurve(&options, -1);
    EXPECT_EQ(options.ToneCurveIndex, 0);
    const ToneStateView view = State();
    for (std::uint8_t v : view.Active) ASSERT_EQ(v, 0);  // 0 activates nothing
}

TEST_F(ToneCurveTest, ApplyMapsOnlyTheFirstWidthTimesHeightBytes) {
    ProcessingOptions options{};
    SetToneCurve(&options, 9);
    std::vector<std::uint8_t> picture = {128, 0, 255, 1, 128, 128};
    ApplyToneCurve(picture.data(), 2, 2);
    EXPECT_EQ(picture, (std::vector<std::uint8_t>{199, 0, 255, 35, 128, 128}));
    ApplyToneCurve(picture.data(), -2, 2);
    ApplyToneCurve(nullptr, 2, 2);
    EXPECT_EQ(picture[0], 199);
}

}  // namespace
}  // namespace dualcam::pipeline
