// Hand-assembled camera bitstreams for the decoder tests: a most-significant-
// bit-first bit writer, the all-grey MCU, and a random but valid picture
// generator that codes its symbols with the T.81 Annex K code lists.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "pipeline/decoder/annex_k.h"
#include "pipeline/decoder/decoder.h"

namespace dualcam::decoder::test {

class BitWriter {
public:
    // Appends the low `count` bits of `bits`, most significant first.
    void Put(uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; --i) {
            current_ = static_cast<uint8_t>((current_ << 1) | ((bits >> i) & 1));
            if (++filled_ == 8) {
                bytes_.push_back(current_);
                current_ = 0;
                filled_ = 0;
            }
        }
    }
    // "0101..." strings keep test streams readable next to their annotation.
    void Put(const char* pattern) {
        for (const char* p = pattern; *p != '\0'; ++p) {
            if (*p == '0' || *p == '1') Put(static_cast<uint32_t>(*p - '0'), 1);
        }
    }
    // Pads the last byte with zero bits.
    std::vector<uint8_t> Finish() {
        std::vector<uint8_t> out = bytes_;
        if (filled_ != 0) out.push_back(static_cast<uint8_t>(current_ << (8 - filled_)));
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
    uint8_t current_ = 0;
    int filled_ = 0;
};

// One 4:2:0 MCU whose six blocks have DC difference 0 and end at once.
inline void PutGreyLuma(BitWriter& w) { w.Put("00 1010"); }
inline void PutGreyChroma(BitWriter& w) { w.Put("00 00"); }
inline void PutGreyMcu(BitWriter& w) {
    for (int b = 0; b < 4; ++b) PutGreyLuma(w);
    PutGreyChroma(w);
    PutGreyChroma(w);
}

// Category of a DC difference or AC value and its T.81 F.1.2.1 extra bits.
inline int Category(int v) {
    int a = v < 0 ? -v : v;
    int s = 0;
    while (a != 0) {
        ++s;
        a >>= 1;
    }
    return s;
}
inline uint32_t ExtraBits(int v, int s) {
    return static_cast<uint32_t>(v >= 0 ? v : v + (1 << s) - 1) & ((1u << s) - 1);
}

template <std::size_t N>
void PutSymbol(BitWriter& w, const std::array<annexk::Code, N>& codes, int value) {
    for (const annexk::Code& c : codes) {
        if (c.Value == value) {
            w.Put(static_cast<uint32_t>(c.Bits), c.Length);
            return;
        }
    }
}

// A valid picture of random blocks (small DC steps, a few AC terms each), with spare bytes.
inline std::vector<uint8_t> RandomPicture(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    BitWriter w;
    const int mcus = ((width + 15) / 16) * ((height + 15) / 16);
    for (int m = 0; m < mcus; ++m) {
        for (int b = 0; b < 6; ++b) {
            const bool luma = b < 4;
            const int diff = static_cast<int>(rng() % 61) - 30;
            const int s = Category(diff);
            if (luma) {
                PutSymbol(w, annexk::kDcLuminanceCodes, s);
            } else {
                PutSymbol(w, annexk::kDcChrominanceCodes, s);
            }
            w.Put(ExtraBits(diff, s), s);
            int k = 1;
            const int terms = static_cast<int>(rng() % 6);
            for (int t = 0; t < terms; ++t) {
                const int run = static_cast<int>(rng() % 4);
                if (k + run > 63) break;
                int value = static_cast<int>(rng() % 41) - 20;
                if (value == 0) value = 1;
                const int size = Category(value);
                if (luma) {
                    PutSymbol(w, annexk::kAcLuminanceCodes, run << 4 | size);
                } else {
                    PutSymbol(w, annexk::kAcChrominanceCodes, run << 4 | size);
                }
                w.Put(ExtraBits(value, size), size);
                k += run + 1;
            }
            if (k <= 63) {
                if (luma) {
                    PutSymbol(w, annexk::kAcLuminanceCodes, 0x00);
                } else {
                    PutSymbol(w, annexk::kAcChrominanceCodes, 0x00);
                }
            }
        }
    }
    std::vector<uint8_t> bytes = w.Finish();
    bytes.resize(bytes.size() + 8, 0);
    return bytes;
}

// A decoder record with work buffers from the C heap, released on destruction.
struct ScopedDecoder {
    ScopedDecoder() : state(new DecoderState{}) {
        static const DecoderAllocator allocator = {
            [](std::size_t bytes, void*) -> void* { return ::operator new(bytes); },
            [](void* block, void*) { ::operator delete(block); }, nullptr};
        ok = DecoderInitialize(state.get(), &allocator) == 1;
    }
    ~ScopedDecoder() { DecoderRelease(state.get()); }
    ScopedDecoder(const ScopedDecoder&) = delete;
    ScopedDecoder& operator=(const ScopedDecoder&) = delete;
    DecoderState* get() { return state.get(); }

    std::unique_ptr<DecoderState> state;
    bool ok = false;
};

// Decodes `stream` (given length, plus the read slack after it) into a buffer of exactly
// DecoderOutputBytes filled with `fill`; returns DecodePicture's result.
inline int DecodeStream(DecoderState* state, const std::vector<uint8_t>& stream, int32_t length,
                        int width, int height, int quality, int kind, std::vector<uint8_t>* out,
                        uint8_t fill = 0xEE) {
    out->assign(DecoderOutputBytes(width, height, kind), fill);
    if (DecoderSelectQuality(state, static_cast<int16_t>(quality)) != 1) return -1;
    if (DecoderBuildRowTable(state, width, height, kind, out->data()) != 1) return -2;
    std::vector<uint8_t> input(stream);
    if (input.size() < static_cast<std::size_t>(length) + kReadSlack) {
        input.resize(static_cast<std::size_t>(length) + kReadSlack, 0);
    }
    return DecodePicture(state, input.data(), length, out->data(), kind);
}

}  // namespace dualcam::decoder::test
