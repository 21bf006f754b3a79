// The ten gamma tone curves and the driver-wide active curve.
//
// Hard part: the curves must be reproduced to the byte (floor of a double
// power, where an entry a hair below an integer would round the wrong way
// in lower precision), and the active curve is shared by every device's
// frame path while the control path may replace it at any moment. The
// staging rules (reload only for an index not last requested nor last
// staged) keep a repeated gamma selection from touching the table at all.
#include "pipeline/tone_curve.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace dualcam::pipeline {
namespace {

struct ToneCurveSet {
    ToneCurve Curves[kToneCurveCount];
};

ToneCurveSet BuildToneCurves() {
    ToneCurveSet set{};
    for (int k = 0; k < kToneCurveCount; ++k) {
        const double gamma = 1.0 + 0.2 * k;
        for (int v = 0; v < kToneCurveEntries; ++v) {
            const double mapped = std::floor(255.0 * std::pow(v / 255.0, 1.0 / gamma));
            set.Curves[k][v] = static_cast<std::uint8_t>(std::clamp(mapped, 0.0, 255.0));
        }
    }
    return set;
}

const ToneCurveSet& Curves() {
    static const ToneCurveSet curves = BuildToneCurves();  // built once, thread-safe
    return curves;
}

// Index no request uses, so the first non-zero request always stages.
constexpr int kNoStagedIndex = 12;
constexpr int kNoRequestedIndex = -1;

// The one tone state of the driver. Lock serialises SetToneCurve callers
// (two devices' control paths) over the staging fields; Active is read by
// frame paths without the lock, byte by byte with relaxed atomics.
struct ToneState {
    std::mutex Lock;
    std::uint8_t Staging[kToneCurveEntries] = {};
    int LastStaged = kNoStagedIndex;
    int LastRequested = kNoRequestedIndex;
    std::uint32_t StagingLoads = 0;
    std::atomic<std::uint8_t> Active[kToneCurveEntries] = {};
};

ToneState g_tone;

}  // namespace

const ToneCurve& ToneCurveTable(int index) {
    return Curves().Curves[std::clamp(index, 0, kToneCurveCount - 1)];
}

std::uint8_t ToneCurveIndexOf(const ProcessingOptions* options) {
    if (options == nullptr)
        return 0;
    return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(options->ToneCurveIndex))
        .load(std::memory_order_relaxed);
}

void SetToneCurve(ProcessingOptions* options, int index) {
    // Out-of-range indices would otherwise match the "nothing staged yet"
    // sentinels and activate an all-zero curve (a black picture).
    const int k = std::clamp(index, 0, kToneCurveCount - 1);
    if (options != nullptr) {
        std::atomic_ref<std::uint8_t>(options->ToneCurveIndex)
            .store(static_cast<std::uint8_t>(k), std::memory_order_relaxed);
    }
    if (k == 0)
        return;  // the active curve stays; it is simply not applied

    std::lock_guard<std::mutex> guard(g_tone.Lock);
    if (k != g_tone.LastRequested) {
        g_tone.LastRequested = k;
        if (k != g_tone.LastStaged) {
            g_tone.LastStaged = k;
            std::copy_n(ToneCurveTable(k), kToneCurveEntries, g_tone.Staging);
            ++g_tone.StagingLoads;
        }
    }
    for (int v = 0; v < kToneCurveEntries; ++v) {
        g_tone.Active[v].store(g_tone.Staging[v], std::memory_order_relaxed);
    }
}

void ApplyToneCurve(std::uint8_t* picture, int width, int height) {
    if (picture == nullptr || width <= 0 || height <= 0)
        return;
    // One snapshot per picture: the whole plane goes through one curve even
    // when the control path replaces the active curve meanwhile.
    std::uint8_t curve[kToneCurveEntries];
    for (int v = 0; v < kToneCurveEntries; ++v) {
        curve[v] = g_tone.Active[v].load(std::memory_order_relaxed);
    }
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    for (std::size_t i = 0; i < count; ++i) picture[i] = curve[picture[i]];
}

void ReadToneState(ToneStateView* view) {
    if (view == nullptr)
        return;
    std::lock_guard<std::mutex> guard(g_tone.Lock);
    view->LastStaged = g_tone.LastStaged;
    view->LastRequested = g_tone.LastRequested;
    view->StagingLoads = g_tone.StagingLoads;
    for (int v = 0; v < kToneCurveEntries; ++v) {
        view->Active[v] = g_tone.Active[v].load(std::memory_order_relaxed);
    }
}

void ResetToneState() {
    std::lock_guard<std::mutex> guard(g_tone.Lock);
    std::fill(std::begin(g_tone.Staging), std::end(g_tone.Staging), std::uint8_t{0});
    g_tone.LastStaged = kNoStagedIndex;
    g_tone.LastRequested = kNoRequestedIndex;
    g_tone.StagingLoads = 0;
    for (auto& entry : g_tone.Active) entry.store(0, std::memory_order_relaxed);
}

}  // namespace dualcam::pipeline
