// Helpers for the format tests: little-endian reads at byte offsets (so that
// records are checked against their published layout, not against the
// struct's own field names), and request blocks for the format requests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/formats.h"

namespace dualcam::driver::formats_test {

inline std::uint32_t U32At(const void* Base, size_t Offset)
{
    std::uint8_t b[4];
    std::memcpy(b, static_cast<const std::uint8_t*>(Base) + Offset, 4);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
}

inline std::uint16_t U16At(const void* Base, size_t Offset)
{
    std::uint8_t b[2];
    std::memcpy(b, static_cast<const std::uint8_t*>(Base) + Offset, 2);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

inline std::int64_t I64At(const void* Base, size_t Offset)
{
    return static_cast<std::int64_t>(U32At(Base, Offset) | (std::uint64_t{U32At(Base, Offset + 4)} << 32));
}

// A GUID as it lies in memory: Data1..Data3 little-endian, then Data4.
inline std::vector<std::uint8_t> GuidBytes(const char* Text)
{
    // Text: "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"
    auto hex = [&](int at, int digits) {
        std::uint32_t v = 0;
        for (int i = 0; i < digits; ++i) {
            const char c = Text[at + i];
            v = v * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        return v;
    };
    const std::uint32_t d1 = hex(0, 8);
    const std::uint32_t d2 = hex(9, 4);
    const std::uint32_t d3 = hex(14, 4);
    std::vector<std::uint8_t> out = {
        static_cast<std::uint8_t>(d1),      static_cast<std::uint8_t>(d1 >> 8),
        static_cast<std::uint8_t>(d1 >> 16), static_cast<std::uint8_t>(d1 >> 24),
        static_cast<std::uint8_t>(d2),      static_cast<std::uint8_t>(d2 >> 8),
        static_cast<std::uint8_t>(d3),      static_cast<std::uint8_t>(d3 >> 8)};
    const int tail[] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int at : tail) {
        out.push_back(static_cast<std::uint8_t>(hex(at, 2)));
    }
    return out;
}

inline std::vector<std::uint8_t> BytesAt(const void* Base, size_t Offset, size_t Length)
{
    const auto* p = static_cast<const std::uint8_t*>(Base) + Offset;
    return {p, p + Length};
}

// An intersection request around a caller range held in caller memory.
struct IntersectRequest {
    HW_STREAM_REQUEST_BLOCK Srb{};
    STREAM_DATA_INTERSECT_INFO Info{};

    IntersectRequest(ULONG StreamNumber, const void* Range, void* Buffer, ULONG BufferSize)
    {
        Info.StreamNumber = StreamNumber;
        Info.DataRange = static_cast<PKSDATARANGE>(const_cast<void*>(Range));
        Info.DataFormatBuffer = Buffer;
        Info.SizeOfDataFormatBuffer = BufferSize;
        Srb.Command = SRB_GET_DATA_INTERSECTION;
        Srb.Status = STATUS_PENDING;
        Srb.ActualBytesTransferred = 0xDEADBEEF;
        Srb.CommandData.IntersectInfo = &Info;
    }
};

// A format request (propose, set, get) on a stream.
struct FormatRequest {
    HW_STREAM_OBJECT Stream{};
    HW_STREAM_REQUEST_BLOCK Srb{};

    FormatRequest(SRB_COMMAND Command, ULONG StreamNumber, const void* Format)
    {
        Stream.StreamNumber = StreamNumber;
        Srb.Command = Command;
        Srb.Status = STATUS_SUCCESS;  // as the control hook leaves it
        Srb.StreamObject = &Stream;
        Srb.ActualBytesTransferred = 0xDEADBEEF;
        Srb.CommandData.OpenFormat = static_cast<PKSDATAFORMAT>(const_cast<void*>(Format));
    }
};

}  // namespace dualcam::driver::formats_test
