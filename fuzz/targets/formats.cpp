// Fuzz target: format negotiation. Any range handed to the data-intersection
// answer, and any format handed to the list check and to the stream control
// hook's propose / set / get, for any stream number and output buffer size.
//
// Hard part: reaching the deep checks at all. A random range almost never
// carries the right GUIDs, so each case starts from one of the offered
// records (or zeros) and patches bytes of it. Caller memory is exactly as
// long as the record claims (FormatSize), as the stream class guarantees,
// so a read past FormatSize or a write past the output size is an ASan
// report. An answer that succeeds must pass the open-time list check.
#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/formats.h"
#include "fuzz_support.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace driver;

constexpr const char* kName = "formats";

// An offered record, or zeros, as bytes of the given length, then patched.
std::vector<uint8_t> CallerRecord(FuzzInput& in, bool asFormat) {
  const unsigned base = in.Pick(kCaptureFormatCount + kStillFormatCount + 1);
  const KS_DATARANGE_VIDEO* range = nullptr;
  if (base < kCaptureFormatCount) range = &CaptureFormats[base];
  else if (base < kCaptureFormatCount + kStillFormatCount) range = &StillFormats[base - kCaptureFormatCount];
  std::vector<uint8_t> bytes;
  if (asFormat) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    if (range) {
      format.DataFormat = range->DataRange;
      format.DataFormat.FormatSize = sizeof format;
      format.VideoInfoHeader = range->VideoInfoHeader;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(&format);
    bytes.assign(p, p + sizeof format);
  } else {
    KS_DATARANGE_VIDEO copy{};
    if (range) copy = *range;
    const auto* p = reinterpret_cast<const uint8_t*>(&copy);
    bytes.assign(p, p + sizeof copy);
  }
  // Length: the record's own, or any from the fixed header up.
  if (in.Pick(3) == 0) bytes.resize(sizeof(KSDATARANGE) + in.U16() % 512, 0);
  const unsigned patches = in.U8() % 8;
  for (unsigned i = 0; i < patches; ++i) {
    const std::size_t at = in.U16() % bytes.size();
    bytes[at] = in.U8();
  }
  // FormatSize never claims more memory than there is.
  ULONG declared;
  std::memcpy(&declared, bytes.data(), sizeof declared);
  if (in.Flag() || declared > bytes.size()) declared = static_cast<ULONG>(bytes.size());
  std::memcpy(bytes.data(), &declared, sizeof declared);
  bytes.resize(declared < sizeof(KSDATARANGE) ? sizeof(KSDATARANGE) : declared);
  return bytes;
}

ULONG StreamNumber(FuzzInput& in) {
  switch (in.Pick(4)) {
    case 0: return kCaptureStreamNumber;
    case 1: return kStillStreamNumber;
    case 2: return 2;
    default: return in.U32();
  }
}

void Intersect(FuzzInput& in) {
  const ULONG stream = StreamNumber(in);
  std::vector<uint8_t> range = CallerRecord(in, false);
  ULONG outputSize;
  switch (in.Pick(4)) {
    case 0: outputSize = 0; break;
    case 1: outputSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER); break;
    case 2: outputSize = kAnswerFixedSize + in.U8(); break;
    default: outputSize = in.U16() % 1024; break;
  }
  std::vector<uint8_t> output(outputSize, 0xEE);
  HW_STREAM_REQUEST_BLOCK srb{};
  STREAM_DATA_INTERSECT_INFO info{};
  info.StreamNumber = stream;
  info.DataRange = reinterpret_cast<PKSDATARANGE>(range.data());
  info.DataFormatBuffer = output.empty() ? nullptr : output.data();
  info.SizeOfDataFormatBuffer = outputSize;
  srb.Command = SRB_GET_DATA_INTERSECTION;
  srb.Status = STATUS_PENDING;
  srb.CommandData.IntersectInfo = &info;
  const NTSTATUS status = IntersectDataRange(&srb);
  Check(status == srb.Status, kName, "returned status differs from the request's");
  Check(status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL ||
            status == STATUS_NO_MATCH || status == STATUS_INVALID_PARAMETER,
        kName, "an intersection status the routine never answers with");
  if (status == STATUS_SUCCESS) {
    Check(srb.ActualBytesTransferred <= outputSize, kName, "answer longer than the output buffer");
    Check(srb.ActualBytesTransferred >= sizeof(KSDATAFORMAT), kName, "answer shorter than a format header");
    KSDATAFORMAT header;
    std::memcpy(&header, output.data(), sizeof header);
    Check(header.FormatSize <= srb.ActualBytesTransferred, kName, "answer's FormatSize beyond what was written");
    // Aligned copy of the answer, as the stream class would pass it back.
    std::vector<uint64_t> aligned((header.FormatSize + 7) / 8 + 1, 0);
    std::memcpy(aligned.data(), output.data(), header.FormatSize);
    Check(FormatMatchesStream(reinterpret_cast<const KSDATAFORMAT*>(aligned.data()), stream), kName,
          "an intersection answer fails the open-time check");
  }
}

void CheckFormat(FuzzInput& in) {
  const ULONG stream = StreamNumber(in);
  // Exactly FormatSize bytes, from operator new (so aligned for the record).
  std::vector<uint8_t> bytes = CallerRecord(in, true);
  auto* format = reinterpret_cast<KSDATAFORMAT*>(bytes.data());
  const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
  const bool matches = FormatMatchesStream(format, stream);

  static const SRB_COMMAND kCommands[] = {SRB_PROPOSE_DATA_FORMAT, SRB_SET_DATA_FORMAT, SRB_GET_DATA_FORMAT,
                                          SRB_OPEN_STREAM};
  HW_STREAM_OBJECT object{};
  object.StreamNumber = stream;
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = kCommands[in.Pick(4)];
  srb.Status = STATUS_SUCCESS;
  srb.StreamObject = &object;
  srb.CommandData.OpenFormat = format;
  const NTSTATUS status = StreamFormatRequest(&srb);
  if (srb.Command == SRB_PROPOSE_DATA_FORMAT || srb.Command == SRB_SET_DATA_FORMAT)
    Check((status == STATUS_SUCCESS) == matches, kName, "the control hook and the list check disagree");
  Check(status == srb.Status || srb.Command == SRB_OPEN_STREAM, kName, "returned status differs from the request's");
  Check(bytes == exact, kName, "a format check wrote to the format");
}

}  // namespace

int FuzzFormats(const uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  while (in.Left() > 0) {
    if (in.Flag())
      Intersect(in);
    else
      CheckFormat(in);
  }
  return 0;
}

}  // namespace dualcam::fuzz
