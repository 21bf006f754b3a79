// Fast entropy decoding and MCU walk: a 64-bit bit buffer refilled eight
// bytes at a time, and 1024-entry lookups on the next ten bits that resolve
// a common AC symbol with its extended value, or two of them at once (T.81
// F.2.2.2 with the K.5 and K.6 codes), and the portable per-MCU kernels.
//
// The hard part is the read bound. The reference checks, before every
// consumption, that its read position is below data + length + 4; that
// position is a pure function of the bits consumed so far (it refills two
// bytes whenever fewer than 16 bits remain), so a block that starts at least
// kFastMargin bits before 8 x length can never reach the bound, however its
// symbols decode: no symbol is longer than 26 bits and no block holds more
// than 64 symbols. Such blocks are decoded here without checks. A block that
// starts later, or that meets anything unusual (a code no table holds, a run
// past coefficient 63), is decoded by the reference block decoder from the
// same bit position, so results, MCUs written and the bit reader state left
// in the record are those of the reference.
#include <cstring>

#include "pipeline/decoder/annex_k.h"
#include "pipeline/decoder/decoder_tables.h"
#include "pipeline/decoder/entropy.h"
#include "pipeline/decoder/fast_path.h"
#include "pipeline/decoder/idct.h"

namespace dualcam::decoder {
namespace {

// --- lookups -----------------------------------------------------------------

constexpr int kAcIndexBits = 10;

// 4 bytes: the AC tables are 4 KB each and stay in the first-level cache. Step is the
// coefficient index advance (run + 1) of a symbol whose code and value bits both lie within
// the index; Value is then the coefficient and Length the bits of both. Step 0 marks the rest:
// Value 0 the end of block (Length its code), Value > 0 a code within the index whose value
// bits lie beyond it (Value = (run + 1) << 8 | size), Value -1 a code longer than the index.
struct AcFastEntry {
    int16_t Value;
    uint8_t Length;
    uint8_t Step;
};

constexpr int32_t ExtendValue(uint32_t v, int s) {
    if (s == 0) return 0;
    return v < (1u << (s - 1)) ? static_cast<int32_t>(v) - ((1 << s) - 1)
                               : static_cast<int32_t>(v);
}

template <std::size_t N>
constexpr std::array<AcFastEntry, 1 << kAcIndexBits> BuildAcFast(
    const std::array<annexk::Code, N>& codes) {
    std::array<AcFastEntry, 1 << kAcIndexBits> table{};
    for (int i = 0; i < (1 << kAcIndexBits); ++i) {
        const int c = detail::FindPrefix(codes, i, kAcIndexBits, kAcIndexBits);
        if (c < 0) {
            table[i] = AcFastEntry{-1, 0, 0};
            continue;
        }
        const annexk::Code& code = codes[c];
        const int length = code.Length;
        if (code.Value == 0x00) {
            table[i] = AcFastEntry{0, static_cast<uint8_t>(length), 0};
            continue;
        }
        const int run = code.Value >> 4;
        const int size = code.Value & 15;
        if (length + size <= kAcIndexBits) {
            const uint32_t extra =
                (static_cast<uint32_t>(i) >> (kAcIndexBits - length - size)) & ((1u << size) - 1);
            table[i] = AcFastEntry{static_cast<int16_t>(ExtendValue(extra, size)),
                                   static_cast<uint8_t>(length + size),
                                   static_cast<uint8_t>(run + 1)};
        } else {
            table[i] = AcFastEntry{static_cast<int16_t>((run + 1) << 8 | size),
                                   static_cast<uint8_t>(length), 0};
        }
    }
    return table;
}

constexpr auto kAcLuminanceFast = BuildAcFast(annexk::kAcLuminanceCodes);
constexpr auto kAcChrominanceFast = BuildAcFast(annexk::kAcChrominanceCodes);
// Pairs: when the index holds a whole common symbol and, after it, the whole of a second
// common one, one lookup resolves both, which halves the chain of dependent lookups that
// bounds the decoding speed. Entries without a second symbol repeat the first (Step2 0,
// Value2 = Value1), so both stores can always be made without a branch. Step1 0: the first
// symbol is not a common one (the single table decides).
struct AcPairEntry {
    int16_t Value1;
    int16_t Value2;
    uint8_t Length1;  // bits of the first symbol
    uint8_t Length;   // bits of both
    uint8_t Step1;
    uint8_t Step2;
};

constexpr std::array<AcPairEntry, 1 << kAcIndexBits> BuildAcPairs(
    const std::array<AcFastEntry, 1 << kAcIndexBits>& single) {
    std::array<AcPairEntry, 1 << kAcIndexBits> pairs{};
    for (int i = 0; i < (1 << kAcIndexBits); ++i) {
        const AcFastEntry first = single[i];
        AcPairEntry p{first.Value, first.Value, first.Length, first.Length, first.Step, 0};
        if (first.Step != 0) {
            const int rest = kAcIndexBits - first.Length;
            const AcFastEntry second = single[(i << first.Length) & ((1 << kAcIndexBits) - 1)];
            // The second is known only if it lies wholly within the bits left in the index.
            if (second.Step != 0 && second.Length <= rest) {
                p.Value2 = second.Value;
                p.Step2 = second.Step;
                p.Length = static_cast<uint8_t>(first.Length + second.Length);
            }
        }
        pairs[i] = p;
    }
    return pairs;
}

constexpr auto kAcLuminancePairs = BuildAcPairs(kAcLuminanceFast);
constexpr auto kAcChrominancePairs = BuildAcPairs(kAcChrominanceFast);

static_assert(kAcLuminanceFast[0b1010000000].Step == 0 && kAcLuminanceFast[0b1010000000].Value == 0);
static_assert(kAcChrominanceFast[0].Step == 0 && kAcChrominanceFast[0].Value == 0);
static_assert(kAcLuminanceFast[1023].Value == -1 && kAcChrominanceFast[1023].Value == -1);

// Codes longer than the index, resolved canonically (T.81 F.2.2.3 DECODE): at length L the
// code is valid when code - First[L] < Count[L]; Symbols lists the values in code order.
struct LongCodes {
    std::array<int32_t, 17> First;
    std::array<int32_t, 17> Count;
    std::array<int32_t, 17> Offset;
    std::array<uint8_t, 256> Symbols;
};

template <std::size_t N>
constexpr LongCodes BuildLongCodes(const std::array<annexk::Code, N>& codes) {
    LongCodes t{};
    for (int length = 0; length <= 16; ++length) {
        t.First[length] = -1;
        t.Count[length] = 0;
        t.Offset[length] = 0;
    }
    for (std::size_t i = 0; i < N; ++i) {
        const annexk::Code& c = codes[i];
        if (t.First[c.Length] < 0) {
            t.First[c.Length] = c.Bits;
            t.Offset[c.Length] = static_cast<int32_t>(i);
        }
        ++t.Count[c.Length];
        t.Symbols[i] = c.Value;
    }
    return t;
}

constexpr LongCodes kAcLuminanceLong = BuildLongCodes(annexk::kAcLuminanceCodes);
constexpr LongCodes kAcChrominanceLong = BuildLongCodes(annexk::kAcChrominanceCodes);

// Entry k is the natural position of zig-zag index k - 1: the AC loop keeps k one past the
// coefficient it stores. Padded like the zig-zag table, for runs past coefficient 63.
constexpr std::array<uint8_t, 129> kNaturalBefore = [] {
    std::array<uint8_t, 129> t{};
    for (int k = 1; k < 129; ++k) t[k] = kNaturalOrder[k - 1];
    return t;
}();

// --- bit buffer ----------------------------------------------------------------

// Bits consumed so far are (Next - data) * 8 - Bits; the stream bits after them are the top
// Bits bits of Buffer.
struct FastReader {
    const uint8_t* Next;  // next byte to load
    uint64_t Buffer;      // left-aligned
    int Bits;             // valid bits in Buffer
};

__attribute__((always_inline)) inline uint64_t LoadBigEndian64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Tops Bits up to 56..63 from the eight bytes at Next.
__attribute__((always_inline)) inline void Refill(FastReader& f) {
    f.Buffer |= LoadBigEndian64(f.Next) >> f.Bits;
    f.Next += (63 - f.Bits) >> 3;
    f.Bits |= 56;
}

__attribute__((always_inline)) inline int64_t Consumed(const FastReader& f, const uint8_t* data) {
    return (f.Next - data) * 8 - f.Bits;
}

__attribute__((always_inline)) inline FastReader FastReaderAt(const uint8_t* data, int64_t consumed) {
    FastReader f{data + (consumed >> 3), 0, 0};
    Refill(f);
    const int skip = static_cast<int>(consumed & 7);
    f.Buffer <<= skip;
    f.Bits -= skip;
    return f;
}

__attribute__((always_inline)) inline uint32_t TakeBits(FastReader& f, int bits) {  // bits 1..32
    const uint32_t v = static_cast<uint32_t>(f.Buffer >> (64 - bits));
    f.Buffer <<= bits;
    f.Bits -= bits;
    return v;
}

__attribute__((always_inline)) inline void Skip(FastReader& f, int bits) {
    f.Buffer <<= bits;
    f.Bits -= bits;
}

// The longest block: a 22-bit DC (11-bit code, 11 value bits) and 63 AC symbols of at most
// 16 + 10 bits. A block that starts kFastMargin bits before 8 x length neither reaches the
// read bound nor lets a refill load beyond data + length + 4.
constexpr int64_t kMaxBlockBits = 22 + 63 * 26;
constexpr int64_t kFastMargin = kMaxBlockBits + 128;

// The reference reader after `consumed` bits: it refills two bytes whenever fewer than 16 bits
// remain, so it has refilled max(0, ceil((consumed - 16) / 16)) times, and its window holds the
// stream bits from `consumed` up to its read position, left-aligned over zeros.
BitReader ReferenceReaderAt(const uint8_t* data, int32_t length, int64_t consumed) {
    BitReader r{};
    r.Data = data;
    r.Limit = int64_t{length} + 4;
    const int64_t refills = consumed <= 16 ? 0 : (consumed - 16 + 15) / 16;
    r.Position = data + 4 + 2 * refills;
    r.Count = static_cast<int32_t>(32 + 16 * refills - consumed);
    const int64_t first = consumed >> 3;
    const int64_t bytes = (r.Position - data) - first;  // at most 5
    uint64_t acc = 0;
    for (int64_t i = 0; i < bytes; ++i) acc = (acc << 8) | data[first + i];
    acc <<= 64 - 8 * bytes;
    acc <<= consumed & 7;
    r.Window = static_cast<uint32_t>(acc >> 32);
    return r;
}

inline int64_t ReferenceConsumed(const BitReader& r) { return (r.Position - r.Data) * 8 - r.Count; }

// --- block decoding -----------------------------------------------------------

// Decodes one block without read checks (the caller has ensured the margin). false: the block
// needs the reference decoder (a code no table holds, or a run past coefficient 63); the
// predictor and block may then hold partial results.
template <bool Luma>
__attribute__((always_inline)) inline bool FastBlock(FastReader& f, int32_t* predictor,
                                                     int16_t* block, uint8_t* acPresent) {
    if (f.Bits < 32) Refill(f);
    int category;
    if constexpr (Luma) {
        // T.81 K.3; eight ones are category 11 with nine bits, whatever the ninth.
        const DcLookupEntry dc = kDcLuminanceLookup[f.Buffer >> 56];
        Skip(f, dc.Length);
        category = dc.Category;
    } else {
        // T.81 K.4: codes of five bits and more are n ones and a zero, category n + 1.
        const DcLookupEntry dc = kDcChrominanceLookup[f.Buffer >> 60];
        if (dc.Length < 5) {
            Skip(f, dc.Length);
            category = dc.Category;
        } else {
            const int ones = __builtin_clzll(~f.Buffer | 1);
            if (ones > 10) return false;
            Skip(f, ones + 1);
            category = ones + 1;
        }
    }
    // Without a branch on the category, which photographs make unpredictable: a category of 0
    // takes no bits and extends to 0.
    const uint32_t extra = static_cast<uint32_t>((f.Buffer >> 1) >> (63 - category));
    Skip(f, category);
    *predictor += extra < static_cast<uint32_t>(kExtendBit[category])
                      ? static_cast<int32_t>(extra) - kExtendMask[category]
                      : static_cast<int32_t>(extra);
    block[0] = static_cast<int16_t>(*predictor);

    const AcFastEntry* table = Luma ? kAcLuminanceFast.data() : kAcChrominanceFast.data();
    const AcPairEntry* pairs = Luma ? kAcLuminancePairs.data() : kAcChrominancePairs.data();
    const LongCodes& longCodes = Luma ? kAcLuminanceLong : kAcChrominanceLong;
    // k is the index after the last coefficient stored; a symbol stores at k + run.
    int k = 1;
    for (;;) {
        if (f.Bits < 26) Refill(f);
        const AcPairEntry p = pairs[f.Buffer >> (64 - kAcIndexBits)];
        if (p.Step1 != 0) {
            const int k1 = k + p.Step1;
            const int k2 = k1 + p.Step2;
            block[kNaturalBefore[k1]] = p.Value1;
            block[kNaturalBefore[k2]] = p.Value2;
            if (k2 < 64) {
                Skip(f, p.Length);
                k = k2;
                continue;
            }
            if (k1 >= 64) {
                // The block ended with the first symbol: the second belongs to the next block.
                block[kNaturalBefore[k1]] = p.Value1;
                Skip(f, p.Length1);
                k = k1;
            } else {
                Skip(f, p.Length);
                k = k2;
            }
            break;
        }
        const AcFastEntry e = table[f.Buffer >> (64 - kAcIndexBits)];
        if (e.Value == 0) {
            Skip(f, e.Length);
            break;
        } else {
            int step;
            int size;
            if (e.Value > 0) {
                Skip(f, e.Length);
                step = e.Value >> 8;
                size = e.Value & 15;
            } else {
                int length = kAcIndexBits + 1;
                for (;; ++length) {
                    if (length > 16) return false;
                    const int32_t first = longCodes.First[length];
                    const uint32_t offset = static_cast<uint32_t>(f.Buffer >> (64 - length)) -
                                            static_cast<uint32_t>(first);
                    if (first >= 0 && offset < static_cast<uint32_t>(longCodes.Count[length])) {
                        const uint8_t symbol = longCodes.Symbols[longCodes.Offset[length] + offset];
                        step = (symbol >> 4) + 1;
                        size = symbol & 15;
                        break;
                    }
                }
                Skip(f, length);
            }
            k += step;
            block[kNaturalBefore[k]] =
                static_cast<int16_t>(size == 0 ? 0 : ExtendValue(TakeBits(f, size), size));
        }
        if (k >= 64) break;
    }
    if (k > 64) return false;  // a run past coefficient 63
    *acPresent = k > 1;
    return true;
}

int Commit(DecoderState* state, const BitReader& reader, int result) {
    state->ReadPosition = reader.Position;
    state->BitWindow = reader.Window;
    state->BitCount = reader.Count;
    return result;
}

// --- portable kernels -------------------------------------------------------------

void TransformMcuPortable(DecoderState* state, const uint8_t acPresent[6]) {
    for (int b = 0; b < 6; ++b) {
        // The transform leaves the blocks zero for the next MCU.
        const int16_t* multipliers = b < 4 ? state->LuminanceDequant : state->ChrominanceDequant;
        if (acPresent[b] == 0) {
            std::memset(state->PixelBlocks[b], DcOnlySample(state->Coefficients[b][0], multipliers[0]),
                        64);
        } else {
            InverseTransformBlock(state->Coefficients[b], multipliers, state->Workspace,
                                  state->PixelBlocks[b]);
        }
        std::memset(state->Coefficients[b], 0, sizeof state->Coefficients[b]);
    }
}

}  // namespace

bool FastKernelsFor(DecoderPath path, McuKernels* kernels) {
    if (path == DecoderPath::Portable) {
        *kernels = McuKernels{TransformMcuPortable, WriteMcuBgr, WriteMcuI420};
        return true;
    }
    if (path == DecoderPath::Reference) return false;
    return X86KernelsFor(path, kernels);
}

namespace {

// The MCU walk; inlined into one entry per instruction set, so the bit buffer's shifts use
// the best the processor has (BMI2 shifts take any register count and leave the flags alone).
__attribute__((always_inline)) inline int WalkMcus(DecoderState* state, const uint8_t* data,
                                                  int32_t length, int kind,
                                                  const McuKernels& kernels) {
    const DecoderTables& tables = SharedDecoderTables();
    // Blocks starting at or before this bit run on the fast reader.
    const int64_t fastLimit = int64_t{length} * 8 - kFastMargin;
    bool slow = fastLimit < 0;
    FastReader fast{};
    BitReader reference{};
    if (slow) {
        reference = ReferenceReaderAt(data, length, 0);
    } else {
        fast = FastReaderAt(data, 0);
    }
    int32_t* predictor = state->DcPredictor;
    predictor[0] = predictor[1] = predictor[2] = 0;
    const int height = state->Height;
    const int width = state->Width;
    std::memset(state->Coefficients, 0, sizeof state->Coefficients);
    for (int y = 0; y < height; y += 16) {
        for (int x = 0; x < width; x += 16) {
            uint8_t acPresent[6];
            for (int b = 0; b < 6; ++b) {
                const bool luma = b < 4;
                int32_t* p = &predictor[luma ? 0 : b - 3];
                int16_t* block = state->Coefficients[b];
                if (!slow) {
                    const int64_t start = Consumed(fast, data);
                    if (start <= fastLimit) {
                        const int32_t saved = *p;
                        const bool done = luma ? FastBlock<true>(fast, p, block, &acPresent[b])
                                               : FastBlock<false>(fast, p, block, &acPresent[b]);
                        if (done) continue;
                        // Let the reference decide this block from where it started.
                        *p = saved;
                        std::memset(block, 0, 64 * sizeof(int16_t));
                        reference = ReferenceReaderAt(data, length, start);
                        acPresent[b] = 1;
                        const bool ok = luma ? DecodeLuminanceBlock(&reference, tables, p, block)
                                             : DecodeChrominanceBlock(&reference, tables, p, block);
                        if (!ok) return Commit(state, reference, 0);
                        fast = FastReaderAt(data, ReferenceConsumed(reference));
                        continue;
                    }
                    // Near the end of the data: the checked reader from here on.
                    slow = true;
                    reference = ReferenceReaderAt(data, length, start);
                }
                acPresent[b] = 1;
                const bool ok = luma ? DecodeLuminanceBlock(&reference, tables, p, block)
                                     : DecodeChrominanceBlock(&reference, tables, p, block);
                if (!ok) return Commit(state, reference, 0);
            }
            kernels.TransformMcu(state, acPresent);
            if (kind == kOutputBgr) {
                kernels.WriteMcuBgr(state, tables, x, y);
            } else {
                kernels.WriteMcuI420(state, x, y);
            }
        }
    }
    const int64_t consumed = slow ? ReferenceConsumed(reference) : Consumed(fast, data);
    return Commit(state, ReferenceReaderAt(data, length, consumed), 1);
}

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("bmi2"))) static int WalkMcusBmi2(DecoderState* state, const uint8_t* data,
                                                        int32_t length, int kind,
                                                        const McuKernels& kernels) {
    return WalkMcus(state, data, length, kind, kernels);
}
#endif

int DecodePictureFast(DecoderState* state, const uint8_t* data, int32_t length, int kind,
                      const McuKernels& kernels) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool bmi2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi2") != 0;
    }();
    if (bmi2) return WalkMcusBmi2(state, data, length, kind, kernels);
#endif
    return WalkMcus(state, data, length, kind, kernels);
}

}  // namespace dualcam::decoder
