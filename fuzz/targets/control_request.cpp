// Fuzz target: the control socket's parsers, with the bytes a client (or
// anything else that reaches the socket) could send, and the same bytes as
// a reply or a body record as the client reads them.
//
// Hard part: the oracle. A request that is taken must come back unchanged
// from its own formatting, or client and server would read one line two
// ways; a refused one must be explained in printable words only, since the
// explanation goes back on the wire. A reply or record that parses must
// survive formatting and parsing again unchanged.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "host/service/control_protocol.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace host::service;

constexpr const char* kName = "control_request";

bool AllPrintable(std::string_view text) {
  for (const char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

}  // namespace

int FuzzControlRequest(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const ParsedRequest parsed = ParseRequest(bytes);
  if (parsed.ok()) {
    Check(RequestComplete(bytes), kName, "a request was taken before it was complete");
    const std::string line = FormatRequest(parsed.request);
    Check(line.size() <= kMaxRequestBytes, kName, "a taken request formats longer than the limit");
    const ParsedRequest again = ParseRequest(line);
    Check(again.ok() && again.request == parsed.request, kName, "a taken request does not survive formatting");
  } else {
    Check(AllPrintable(parsed.Message()), kName, "a refusal's message is not printable");
    const std::string reply = FormatReply(Reply::Error(ReplyStatus::kMalformed, parsed.Message()));
    Check(ParseReply(reply, nullptr).has_value(), kName, "a refusal's reply does not parse");
  }

  if (const auto reply = ParseReply(bytes, nullptr)) {
    const auto again = ParseReply(FormatReply(*reply), nullptr);
    Check(again && *again == *reply, kName, "a reply does not survive formatting");
  }

  if (const auto fields = ParseFields(bytes)) {
    const auto again = ParseFields(FormatFields(*fields));
    Check(again && again->head == fields->head && again->values == fields->values, kName,
          "a body record does not survive formatting");
  }
  return 0;
}

}  // namespace dualcam::fuzz
