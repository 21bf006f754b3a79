// Tone curves: the ten luminance curves selected by the device's gamma
// setting, and the one driver-wide active curve that frames are mapped
// through.
//
// Hard part: the active curve is written by the control path (a property
// request or capture start) while another thread may be mapping a frame
// through it. The curve is held as relaxed atomic bytes and ApplyToneCurve
// takes one snapshot of it per picture, so a frame never sees a torn curve
// mid-row and the access is race-free; a frame that overlaps a change gets
// either the old or the new curve (per byte of the snapshot), as the
// unlocked single copy always allowed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dualcam::pipeline {

// The device's 140-byte processing block. Only ToneCurveIndex is used; the
// rest is kept so the record keeps its size inside the device record.
struct ProcessingOptions {
    // Curve applied to the luminance of every rendered frame, 0..9; 0 means
    // no tone mapping. Written by SetToneCurve on the control path and read
    // by the frame path: access it through std::atomic_ref (see
    // ToneCurveIndexOf) when another thread may be rendering.
    std::uint8_t ToneCurveIndex;
    std::uint8_t Reserved[139];
};
static_assert(sizeof(ProcessingOptions) == 140);
static_assert(offsetof(ProcessingOptions, ToneCurveIndex) == 0);

inline constexpr int kToneCurveCount = 10;
inline constexpr int kToneCurveEntries = 256;

// Curve k maps v to floor(255 * (v / 255)^(1 / g)), g = 1 + 0.2 k, computed
// once in double precision on first use. Curve 0 is the identity.
using ToneCurve = std::uint8_t[kToneCurveEntries];
const ToneCurve& ToneCurveTable(int index);  // index clamped to 0..9

// Relaxed read of a device's ToneCurveIndex, safe against a concurrent
// SetToneCurve.
std::uint8_t ToneCurveIndexOf(const ProcessingOptions* options);

// Records index as the device's ToneCurveIndex and, for a non-zero index,
// makes that curve the active one. The staging copy is reloaded from the
// curve table only when the index differs from the one last requested and
// the one last staged. Indices outside 0..9 are clamped to 0..9 first.
void SetToneCurve(ProcessingOptions* options, int index);

// Maps the first width x height bytes of picture (the Y plane of a planar
// picture) through the active curve, in place. Negative sizes do nothing.
void ApplyToneCurve(std::uint8_t* picture, int width, int height);

// Observability of the driver-wide tone state, for tests and diagnostics.
struct ToneStateView {
    int LastStaged;              // 12 until the first staging (an index nobody requests)
    int LastRequested;           // -1 until the first non-zero request
    std::uint32_t StagingLoads;  // how often the staging copy was reloaded
    std::uint8_t Active[kToneCurveEntries];
};
void ReadToneState(ToneStateView* view);

// Returns the tone state to its load-time values (active curve all zero).
// Only for driver load and tests; must not race with renders.
void ResetToneState();

}  // namespace dualcam::pipeline
