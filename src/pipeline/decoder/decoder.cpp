// Entry points of the picture decoder (placeholder bodies until the decoder lands).
#include "pipeline/decoder/decoder.h"

namespace dualcam::decoder {

int DecoderInitialize(DecoderState*, const DecoderAllocator*) { return 0; }
int DecoderRelease(DecoderState*) { return 1; }
int DecoderSelectQuality(DecoderState*, int16_t) { return 0; }
int DecoderSetGeometry(DecoderState*, int16_t, int16_t) { return 0; }
int DecoderBuildRowTable(DecoderState*, int, int, int, uint8_t*) { return 0; }
int DecodePicture(DecoderState*, const uint8_t*, int32_t, uint8_t*, int) { return 0; }
std::size_t DecoderOutputBytes(int, int, int) { return 0; }
const DecoderTables& SharedDecoderTables() {
    static const DecoderTables tables{};
    return tables;
}

}  // namespace dualcam::decoder
