// The control socket's protocol: what a process that does not own the camera
// may ask of the process that does, and how the answer comes back.
//
// One request per connection, one reply, then the server closes the
// connection; the close marks the end of the reply. Both are lines of
// printable ASCII, so that a person can read them in a debugger or type them
// with `socat - UNIX-CONNECT:control.sock`:
//
//   request:  dualcam/1 set saturation=0 brightness=140\n
//   reply:    dualcam/1 ok\n
//             saturation value=0 min=0 max=63 default=40\n
//             brightness value=140 min=0 max=255 default=128\n
//   or:       dualcam/1 error rejected value '99' out of range for saturation (0..63)\n
//
// A request is "dualcam/1", a verb and its words, separated by spaces, ending
// in LF (a CR before it is allowed); at most kMaxRequestBytes in all. Verbs:
// list, get NAME..., set NAME=VALUE..., reset [NAME...], status, still, stop.
// A reply opens with "dualcam/1 ok" or "dualcam/1 error CODE MESSAGE" and
// carries body lines; the body lines of this system are "HEAD key=value ..."
// records (FormatFields / ParseFields), whose values are percent-encoded so
// that a path with spaces survives.
//
// Hard part: the parser meets bytes from any process of the owner's user,
// broken or hostile. It bounds everything (request length, word count, word
// length), takes only printable ASCII, reads nothing beyond what arrived,
// and says precisely what was wrong, so the client can be told and the
// connection closed. The version comes first in every request and reply so
// that a later protocol can be refused by name instead of misread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dualcam::host::service {

inline constexpr char kProtocolVersion[] = "dualcam/1";
// The socket's name inside the data folder, beside the camera lock.
inline constexpr char kControlSocketFile[] = "control.sock";

// Bounds. A request is small (the longest useful one sets every control);
// a reply is a screenful.
inline constexpr std::size_t kMaxRequestBytes = 1024;  // the LF included
inline constexpr std::size_t kMaxRequestWords = 32;    // after the version and the verb
inline constexpr std::size_t kMaxWordBytes = 64;
inline constexpr std::size_t kMaxReplyBytes = 16384;

enum class Verb { kList, kGet, kSet, kReset, kStatus, kStill, kStop };
std::string_view VerbName(Verb verb);

struct Request {
  Verb verb = Verb::kStatus;
  std::vector<std::string> words;  // get/reset: names; set: NAME=VALUE
  bool operator==(const Request&) const = default;
};

enum class RequestError {
  kNone,
  kUnterminated,   // the connection ended before the LF
  kTooLong,        // no LF within kMaxRequestBytes
  kTrailingBytes,  // bytes after the LF: one request per connection
  kNotText,        // a byte that is not printable ASCII or a space
  kEmpty,
  kVersion,        // another protocol version, or none
  kUnknownVerb,
  kTooManyWords,
  kWordTooLong,
  kArguments,      // the verb's words are wrong (count or form)
};
// The fixed part of each error's message ("request longer than 1024 bytes").
std::string_view RequestErrorText(RequestError error);

struct ParsedRequest {
  Request request;
  RequestError error = RequestError::kNone;
  std::string detail;  // what was wrong, quoted from the request (safe to print)
  bool ok() const { return error == RequestError::kNone; }
  // RequestErrorText with the detail, for the error reply.
  std::string Message() const;
};

// True once `received` holds a whole request or can no longer become one
// (an LF arrived, or kMaxRequestBytes did): time to parse it.
bool RequestComplete(std::string_view received);

// Parses everything a client sent on a connection: exactly one request line.
ParsedRequest ParseRequest(std::string_view received);

// The request as its line, LF included. Words are sent as given: a request
// the parser would refuse comes back refused.
std::string FormatRequest(const Request& request);

// --- Replies ---------------------------------------------------------------

enum class ReplyStatus {
  kOk,
  kMalformed,    // the request could not be parsed
  kVersion,      // the request spoke another protocol version
  kRefused,      // the client is not the owner's user
  kBusy,         // too many clients at once; try again
  kTimeout,      // the request did not arrive in time
  kRejected,     // the owner refused the request (unknown control, value out of range)
  kUnavailable,  // the owner does not serve this request, or cannot now
  kInternal,     // the owner failed while answering
};
// The code word on the wire ("ok", "malformed", ...).
std::string_view ReplyStatusCode(ReplyStatus status);

struct Reply {
  ReplyStatus status = ReplyStatus::kOk;
  std::string message;             // errors: what went wrong
  std::vector<std::string> lines;  // ok: the body
  bool ok() const { return status == ReplyStatus::kOk; }
  bool operator==(const Reply&) const = default;

  static Reply Ok(std::vector<std::string> lines = {});
  static Reply Error(ReplyStatus status, std::string message);
};

// The reply as sent. Bytes a line or message may not hold (control
// characters, non-ASCII) become '?'; a reply longer than kMaxReplyBytes
// becomes an internal error saying so.
std::string FormatReply(const Reply& reply);

// Parses what the server sent before it closed the connection. Nothing, with
// *error set, when the bytes are not a reply of this version.
std::optional<Reply> ParseReply(std::string_view received, std::string* error);

// --- Body records ----------------------------------------------------------

// "HEAD key=value key=value": a body line of this system's replies.
struct Fields {
  std::string head;
  std::vector<std::pair<std::string, std::string>> values;
  // The value of a key, or nothing.
  std::optional<std::string> Get(std::string_view key) const;
  // A whole decimal number within [low, high], or nothing.
  std::optional<long long> Number(std::string_view key, long long low, long long high) const;
};

// Keys and the head must be words of [A-Za-z0-9_.-]; values are any bytes,
// percent-encoded where they are not printable, or are a space, '%' or '='.
std::string FormatFields(const Fields& fields);
// Nothing when the line is not such a record.
std::optional<Fields> ParseFields(std::string_view line);

}  // namespace dualcam::host::service
