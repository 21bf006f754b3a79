// Entry points of the picture decoder: set-up and release of a decoder
// record, quality selection, row-pointer tables, and the MCU walk of
// DecodePicture.
//
// DecodePicture runs one of several paths: the straightforward reference
// below, which defines the pictures, or a fast path (fast_decode.cpp with the
// kernels of simd_kernels.cpp) that must give the same bytes; the fastest
// one the processor can run, unless DUALCAM_DECODER names another.
//
// The hard part is the failure contract on damaged frames: each MCU is
// entropy-decoded completely into the record's coefficient blocks before
// anything is transformed or written, so a failure leaves every completed MCU
// written and the failing one untouched. The second is safety on a stale or
// mismatched row table: a decode only proceeds when the table in the record
// was built for the current width, kind and enough rows, because the row
// table is the only thing that bounds where pixels go.
#include "pipeline/decoder/decoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "pipeline/decoder/decoder_tables.h"
#include "pipeline/decoder/entropy.h"
#include "pipeline/decoder/fast_path.h"
#include "pipeline/decoder/idct.h"

namespace dualcam::decoder {
namespace {

// Luma rows H' the row table holds for a width (and, for 160, the height); 0 when unknown.
int TableRows(int width, int height) {
    switch (width) {
        case 160:
            return height == 112 ? 112 : 128;
        case 176:
            return 144;
        case 320:
            return 240;
        case 352:
            return 288;
        case 640:
            return 480;
        default:
            return 0;
    }
}

bool KnownKind(int kind) { return kind == kOutputBgr || kind == kOutputI420; }

// Kind 2 is a 24-bit layout whose row table equals kind 0's; no decoder variant writes it.
constexpr int kOutputBgrRowsOnly = 2;
bool KnownTableKind(int kind) { return KnownKind(kind) || kind == kOutputBgrRowsOnly; }

void ReleaseBlock(const DecoderAllocator& allocator, uint8_t** block) {
    if (*block != nullptr && allocator.release != nullptr) {
        allocator.release(*block, allocator.context);
    }
    *block = nullptr;
}

// True when the row table can place every pixel of the current geometry for `kind`: built for
// this width and kind, and covering the MCU rows (the height rounded up to 16). I420 locates its
// chroma rows from the height, so it needs the height the table was built for.
bool RowTableCovers(const DecoderState* state, int kind) {
    const int height = state->Height;
    if (state->RowTableRows <= 0 || state->RowTableKind != kind ||
        state->RowTableWidth != state->Width) {
        return false;
    }
    const int mcuRows = (height + 15) / 16 * 16;
    if (mcuRows > state->RowTableRows) return false;
    return kind != kOutputI420 || height == state->RowTableRows;
}

}  // namespace

int DecoderInitialize(DecoderState* state, const DecoderAllocator* allocator,
                      std::size_t workBufferBytes) {
    if (state == nullptr || allocator == nullptr || allocator->allocate == nullptr ||
        allocator->release == nullptr) {
        return 0;
    }
    // A second call keeps the buffers it already has rather than leaking them.
    if (state->Ready != 0 && state->WorkBufferA != nullptr && state->WorkBufferB != nullptr) {
        state->QualityIndex = -1;
        state->Width = 0;
        state->Height = 0;
        return 1;
    }
    state->Allocator = *allocator;
    const std::size_t bytes = std::max(workBufferBytes, kWorkBufferSize);
    auto* a = static_cast<uint8_t*>(allocator->allocate(bytes, allocator->context));
    auto* b = static_cast<uint8_t*>(allocator->allocate(bytes, allocator->context));
    state->WorkBufferA = a;
    state->WorkBufferB = b;
    if (a == nullptr || b == nullptr) {
        // Give back the one that was obtained now: the record keeps nothing half set up.
        ReleaseBlock(state->Allocator, &state->WorkBufferA);
        ReleaseBlock(state->Allocator, &state->WorkBufferB);
        state->WorkBufferBytes = 0;
        state->Ready = 0;
        return 0;
    }
    state->WorkBufferBytes = bytes;
    SharedDecoderTables();
    state->QualityIndex = -1;
    state->Width = 0;
    state->Height = 0;
    state->RowTableRows = 0;
    state->RowTableWidth = 0;
    state->RowTableKind = -1;
    state->Ready = 1;
    return 1;
}

int DecoderRelease(DecoderState* state) {
    if (state == nullptr) return 1;
    if (state->WorkBufferA != nullptr || state->WorkBufferB != nullptr) {
        ReleaseBlock(state->Allocator, &state->WorkBufferB);
        ReleaseBlock(state->Allocator, &state->WorkBufferA);
    }
    state->WorkBufferBytes = 0;
    state->Ready = 0;
    return 1;
}

int DecoderSelectQuality(DecoderState* state, int16_t index) {
    if (state == nullptr || state->Ready == 0 || index < 0 || index > 3) return 0;
    if (index == state->QualityIndex) return 1;
    state->QualityIndex = index;
    const auto& luminance = kBaseQuant[2 * index];
    const auto& chrominance = kBaseQuant[2 * index + 1];
    for (int i = 0; i < 64; ++i) {
        const int32_t row = kScaleFactors[i / 8];
        const int32_t column = kScaleFactors[i % 8];
        // Both dimensions' AA&N factors and two extra fraction bits (removed by the final >> 5).
        int32_t t = ((luminance[i] * column) * 4) >> 16;
        state->LuminanceDequant[i] = static_cast<int16_t>((t * row) >> 16);
        t = ((chrominance[i] * column) * 4) >> 16;
        state->ChrominanceDequant[i] = static_cast<int16_t>((t * row) >> 16);
    }
    return 1;
}

int DecoderSetGeometry(DecoderState* state, int16_t width, int16_t height) {
    if (state == nullptr) return 0;
    state->Width = width;
    state->Height = height;
    return 1;
}

int DecoderBuildRowTable(DecoderState* state, int width, int height, int kind, uint8_t* base) {
    if (state == nullptr || state->Ready == 0) return 0;
    DecoderSetGeometry(state, static_cast<int16_t>(width), static_cast<int16_t>(height));
    state->OutputKind = static_cast<int16_t>(kind);
    const int rows = TableRows(width, height);
    if (rows == 0 || !KnownTableKind(kind) || base == nullptr) return 0;

    if (kind != kOutputI420) {
        const std::size_t stride = 3 * static_cast<std::size_t>(width);
        for (int i = 0; i < rows; ++i) state->RowTable[i] = base + (rows - 1 - i) * stride;
    } else {
        const std::size_t lumaBytes = static_cast<std::size_t>(width) * rows;
        const std::size_t chromaWidth = width / 2;
        const std::size_t chromaBytes = chromaWidth * (rows / 2);
        for (int i = 0; i < rows; ++i) state->RowTable[i] = base + i * width;
        for (int j = 0; j < rows / 2; ++j) {
            state->RowTable[rows + j] = base + lumaBytes + j * chromaWidth;
            state->RowTable[rows + rows / 2 + j] = base + lumaBytes + chromaBytes + j * chromaWidth;
        }
    }
    state->RowTableWidth = width;
    state->RowTableRows = rows;
    state->RowTableKind = kind;
    return 1;
}

namespace {

// The straightforward decoder: every consumption checked, every block through the scalar
// transform and the colour tables. It defines the pictures; the fast paths are measured
// against it.
int DecodeReference(DecoderState* state, const uint8_t* data, int32_t length, int kind) {
    BitReader reader{};
    reader.Start(data, length);
    const auto commit = [&](int result) {
        state->ReadPosition = reader.Position;
        state->BitWindow = reader.Window;
        state->BitCount = reader.Count;
        return result;
    };
    const DecoderTables& tables = SharedDecoderTables();
    int32_t* predictor = state->DcPredictor;
    predictor[0] = predictor[1] = predictor[2] = 0;
    for (int y = 0; y < state->Height; y += 16) {
        for (int x = 0; x < state->Width; x += 16) {
            std::fill(&state->Coefficients[0][0], &state->Coefficients[0][0] + 6 * 64, 0);
            for (int b = 0; b < 4; ++b) {
                if (!DecodeLuminanceBlock(&reader, tables, &predictor[0],
                                          state->Coefficients[b])) {
                    return commit(0);
                }
            }
            if (!DecodeChrominanceBlock(&reader, tables, &predictor[1], state->Coefficients[4]) ||
                !DecodeChrominanceBlock(&reader, tables, &predictor[2], state->Coefficients[5])) {
                return commit(0);
            }
            for (int b = 0; b < 6; ++b) {
                InverseTransformBlock(state->Coefficients[b],
                                      b < 4 ? state->LuminanceDequant : state->ChrominanceDequant,
                                      state->Workspace, state->PixelBlocks[b]);
            }
            if (kind == kOutputBgr) {
                WriteMcuBgr(state, tables, x, y);
            } else {
                WriteMcuI420(state, x, y);
            }
        }
    }
    return commit(1);
}

constexpr const char* kPathNames[kDecoderPathCount] = {"reference", "portable", "ssse3", "avx2"};

DecoderPath FastestAvailable() {
    for (int p = kDecoderPathCount - 1; p > 0; --p) {
        if (DecoderPathAvailable(static_cast<DecoderPath>(p))) return static_cast<DecoderPath>(p);
    }
    return DecoderPath::Reference;
}

}  // namespace

bool DecoderPathAvailable(DecoderPath path) {
    if (path == DecoderPath::Reference) return true;
    McuKernels kernels{};
    return FastKernelsFor(path, &kernels);
}

DecoderPath ActiveDecoderPath() {
    // Read once: switching paths under a running stream would gain nothing.
    static const DecoderPath active = [] {
        const char* wanted = std::getenv("DUALCAM_DECODER");
        if (wanted != nullptr) {
            for (int p = 0; p < kDecoderPathCount; ++p) {
                if (std::strcmp(wanted, kPathNames[p]) == 0 &&
                    DecoderPathAvailable(static_cast<DecoderPath>(p))) {
                    return static_cast<DecoderPath>(p);
                }
            }
        }
        return FastestAvailable();
    }();
    return active;
}

const char* DecoderPathName(DecoderPath path) {
    const int p = static_cast<int>(path);
    return p >= 0 && p < kDecoderPathCount ? kPathNames[p] : "unknown";
}

int DecodePictureWith(DecoderPath path, DecoderState* state, const uint8_t* data, int32_t length,
                      uint8_t* base, int kind) {
    (void)base;  // the row table already carries it
    if (state == nullptr || state->Ready == 0 || data == nullptr || length < 0 ||
        !KnownKind(kind)) {
        return 0;
    }
    state->InputStart = data;
    state->InputLength = length;
    McuKernels kernels{};
    const bool fast = FastKernelsFor(path, &kernels);
    if (state->Height <= 0 || !RowTableCovers(state, kind)) {
        BitReader reader{};
        reader.Start(data, length);
        state->ReadPosition = reader.Position;
        state->BitWindow = reader.Window;
        state->BitCount = reader.Count;
        return state->Height <= 0 ? 1 : 0;
    }
    return fast ? DecodePictureFast(state, data, length, kind, kernels)
                : DecodeReference(state, data, length, kind);
}

int DecodePicture(DecoderState* state, const uint8_t* data, int32_t length, uint8_t* base,
                  int kind) {
    return DecodePictureWith(ActiveDecoderPath(), state, data, length, base, kind);
}

std::size_t DecoderOutputBytes(int width, int height, int kind) {
    const int rows = TableRows(width, height);
    if (rows == 0 || !KnownTableKind(kind)) return 0;
    const std::size_t pixels = static_cast<std::size_t>(width) * rows;
    return kind == kOutputI420 ? pixels * 3 / 2 : pixels * 3;
}

}  // namespace dualcam::decoder
