// The control socket's request and reply formats (see control_protocol.h).
#include "host/service/control_protocol.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace dualcam::host::service {
namespace {

constexpr std::string_view kVersion = kProtocolVersion;

struct VerbEntry {
  Verb verb;
  std::string_view name;
};
constexpr std::array<VerbEntry, 7> kVerbs = {{
    {Verb::kList, "list"},
    {Verb::kGet, "get"},
    {Verb::kSet, "set"},
    {Verb::kReset, "reset"},
    {Verb::kStatus, "status"},
    {Verb::kStill, "still"},
    {Verb::kStop, "stop"},
}};

struct ErrorEntry {
  RequestError error;
  std::string_view text;
};
constexpr std::array<ErrorEntry, 11> kRequestErrors = {{
    {RequestError::kNone, ""},
    {RequestError::kUnterminated, "the request did not end with a newline"},
    {RequestError::kTooLong, "request longer than 1024 bytes"},
    {RequestError::kTrailingBytes, "bytes after the request (one request per connection)"},
    {RequestError::kNotText, "the request holds a byte that is not printable text"},
    {RequestError::kEmpty, "empty request"},
    {RequestError::kVersion, "not a dualcam/1 request"},
    {RequestError::kUnknownVerb, "unknown request (list, get, set, reset, status, still, stop)"},
    {RequestError::kTooManyWords, "more than 32 words"},
    {RequestError::kWordTooLong, "a word longer than 64 bytes"},
    {RequestError::kArguments, "wrong arguments"},
}};

struct StatusEntry {
  ReplyStatus status;
  std::string_view code;
};
constexpr std::array<StatusEntry, 9> kReplyStatuses = {{
    {ReplyStatus::kOk, "ok"},
    {ReplyStatus::kMalformed, "malformed"},
    {ReplyStatus::kVersion, "version"},
    {ReplyStatus::kRefused, "refused"},
    {ReplyStatus::kBusy, "busy"},
    {ReplyStatus::kTimeout, "timeout"},
    {ReplyStatus::kRejected, "rejected"},
    {ReplyStatus::kUnavailable, "unavailable"},
    {ReplyStatus::kInternal, "internal"},
}};

bool Printable(char c) { return c >= 0x20 && c <= 0x7E; }

// A word of a request quoted for a message: printable already (the parser
// checked), cut to the word limit.
std::string Quote(std::string_view word) {
  std::string quoted = "'";
  quoted.append(word.substr(0, kMaxWordBytes));
  quoted.append(word.size() > kMaxWordBytes ? "...'" : "'");
  return quoted;
}

// Splits on runs of spaces (a person typing may double one).
std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

ParsedRequest Fail(RequestError error, std::string detail = {}) {
  ParsedRequest parsed;
  parsed.error = error;
  parsed.detail = std::move(detail);
  return parsed;
}

// The verb's rule for its words.
ParsedRequest CheckArguments(Request request) {
  const std::size_t n = request.words.size();
  const std::string_view verb = VerbName(request.verb);
  switch (request.verb) {
    case Verb::kList:
    case Verb::kStatus:
    case Verb::kStill:
    case Verb::kStop:
      if (n != 0) return Fail(RequestError::kArguments, std::string(verb) + " takes no words");
      break;
    case Verb::kGet:
      if (n == 0) return Fail(RequestError::kArguments, "get needs at least one control name");
      break;
    case Verb::kReset:
      break;
    case Verb::kSet:
      if (n == 0) return Fail(RequestError::kArguments, "set needs at least one NAME=VALUE");
      for (const std::string& word : request.words) {
        const auto equals = word.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == word.size())
          return Fail(RequestError::kArguments, "set takes NAME=VALUE, got " + Quote(word));
      }
      break;
  }
  if (request.verb == Verb::kGet || request.verb == Verb::kReset) {
    for (const std::string& word : request.words)
      if (word.find('=') != std::string::npos)
        return Fail(RequestError::kArguments, std::string(verb) + " takes control names, got " + Quote(word));
  }
  ParsedRequest parsed;
  parsed.request = std::move(request);
  return parsed;
}

bool KeyWord(std::string_view word) {
  if (word.empty()) return false;
  return std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-';
  });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Sanitized(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (!Printable(c)) c = '?';
  return out;
}

}  // namespace

std::string_view VerbName(Verb verb) {
  for (const VerbEntry& entry : kVerbs)
    if (entry.verb == verb) return entry.name;
  return "?";
}

std::string_view RequestErrorText(RequestError error) {
  for (const ErrorEntry& entry : kRequestErrors)
    if (entry.error == error) return entry.text;
  return "malformed request";
}

std::string ParsedRequest::Message() const {
  std::string text(RequestErrorText(error));
  if (!detail.empty()) text += ": " + detail;
  return text;
}

bool RequestComplete(std::string_view received) {
  return received.find('\n') != std::string_view::npos || received.size() >= kMaxRequestBytes;
}

ParsedRequest ParseRequest(std::string_view received) {
  const std::size_t end = received.find('\n');
  if (end == std::string_view::npos || end >= kMaxRequestBytes) {
    return Fail(received.size() >= kMaxRequestBytes ? RequestError::kTooLong : RequestError::kUnterminated);
  }
  if (end + 1 != received.size()) return Fail(RequestError::kTrailingBytes);
  std::string_view line = received.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (!Printable(line[i])) return Fail(RequestError::kNotText, "byte " + std::to_string(i + 1));
  }
  const std::vector<std::string_view> words = SplitWords(line);
  if (words.empty()) return Fail(RequestError::kEmpty);
  if (words[0] != kVersion) {
    // Another version is named as such; anything else is not ours at all.
    const bool versioned = words[0].starts_with("dualcam/");
    return Fail(RequestError::kVersion, versioned ? "this camera speaks dualcam/1, the request " + Quote(words[0])
                                                  : "the request starts with " + Quote(words[0]));
  }
  if (words.size() < 2) return Fail(RequestError::kEmpty);
  const auto verb = std::find_if(kVerbs.begin(), kVerbs.end(), [&](const VerbEntry& v) { return v.name == words[1]; });
  if (verb == kVerbs.end()) return Fail(RequestError::kUnknownVerb, Quote(words[1]));
  if (words.size() - 2 > kMaxRequestWords) return Fail(RequestError::kTooManyWords);
  Request request;
  request.verb = verb->verb;
  for (std::size_t i = 2; i < words.size(); ++i) {
    if (words[i].size() > kMaxWordBytes) return Fail(RequestError::kWordTooLong, Quote(words[i]));
    request.words.emplace_back(words[i]);
  }
  return CheckArguments(std::move(request));
}

std::string FormatRequest(const Request& request) {
  std::string line = std::string(kVersion) + " " + std::string(VerbName(request.verb));
  for (const std::string& word : request.words) line += " " + word;
  return line + "\n";
}

// --- Replies ---------------------------------------------------------------

std::string_view ReplyStatusCode(ReplyStatus status) {
  for (const StatusEntry& entry : kReplyStatuses)
    if (entry.status == status) return entry.code;
  return "internal";
}

Reply Reply::Ok(std::vector<std::string> lines) {
  Reply reply;
  reply.lines = std::move(lines);
  return reply;
}

Reply Reply::Error(ReplyStatus status, std::string message) {
  Reply reply;
  reply.status = status == ReplyStatus::kOk ? ReplyStatus::kInternal : status;
  reply.message = std::move(message);
  return reply;
}

std::string FormatReply(const Reply& reply) {
  std::string out(kVersion);
  if (reply.ok()) {
    out.append(" ok");
  } else {
    out.append(" error ").append(ReplyStatusCode(reply.status));
    if (!reply.message.empty()) out.append(" ").append(Sanitized(reply.message));
  }
  out.append("\n");
  if (reply.ok()) {
    for (const std::string& line : reply.lines) out.append(Sanitized(line)).append("\n");
  }
  if (out.size() > kMaxReplyBytes) return FormatReply(Reply::Error(ReplyStatus::kInternal, "reply too long"));
  return out;
}

std::optional<Reply> ParseReply(std::string_view received, std::string* error) {
  std::string dummy;
  if (!error) error = &dummy;
  if (received.empty()) {
    *error = "the camera's owner closed the connection without a reply";
    return std::nullopt;
  }
  if (received.size() > kMaxReplyBytes) {
    *error = "the reply is longer than " + std::to_string(kMaxReplyBytes) + " bytes";
    return std::nullopt;
  }
  if (received.back() != '\n') {
    *error = "the reply was cut short";
    return std::nullopt;
  }
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < received.size();) {
    const std::size_t end = received.find('\n', start);
    std::string_view line = received.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!std::all_of(line.begin(), line.end(), Printable)) {
      *error = "the reply holds bytes that are not text";
      return std::nullopt;
    }
    lines.push_back(line);
    start = end + 1;
  }
  const std::string_view head = lines[0];
  const std::size_t space = head.find(' ');
  const std::string_view version = head.substr(0, space);
  if (version != kVersion) {
    *error = version.starts_with("dualcam/") ? "the camera's owner speaks " + std::string(version) +
                                                     ", this command dualcam/1"
                                               : std::string("not a dualcam reply");
    return std::nullopt;
  }
  const std::string_view rest = space == std::string_view::npos ? std::string_view() : head.substr(space + 1);
  Reply reply;
  if (rest == "ok") {
    for (std::size_t i = 1; i < lines.size(); ++i) reply.lines.emplace_back(lines[i]);
    return reply;
  }
  if (!rest.starts_with("error ")) {
    *error = "unknown reply status '" + std::string(rest.substr(0, kMaxWordBytes)) + "'";
    return std::nullopt;
  }
  const std::string_view detail = rest.substr(6);
  const std::size_t code_end = detail.find(' ');
  const std::string_view code = detail.substr(0, code_end);
  const auto status = std::find_if(kReplyStatuses.begin() + 1, kReplyStatuses.end(),
                                   [&](const StatusEntry& entry) { return entry.code == code; });
  if (status == kReplyStatuses.end()) {
    *error = "unknown error code '" + std::string(code.substr(0, kMaxWordBytes)) + "'";
    return std::nullopt;
  }
  if (lines.size() != 1) {
    *error = "an error reply with a body";
    return std::nullopt;
  }
  reply.status = status->status;
  reply.message = code_end == std::string_view::npos ? std::string() : std::string(detail.substr(code_end + 1));
  return reply;
}

// --- Body records ----------------------------------------------------------

std::optional<std::string> Fields::Get(std::string_view key) const {
  for (const auto& [name, value] : values)
    if (name == key) return value;
  return std::nullopt;
}

std::optional<long long> Fields::Number(std::string_view key, long long low, long long high) const {
  const auto text = Get(key);
  if (!text || text->empty()) return std::nullopt;
  long long value = 0;
  const char* first = text->data();
  const char* last = first + text->size();
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || value < low || value > high) return std::nullopt;
  return value;
}

std::string FormatFields(const Fields& fields) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line = fields.head;
  for (const auto& [key, value] : fields.values) {
    line += " " + key + "=";
    for (const char c : value) {
      const auto byte = static_cast<unsigned char>(c);
      if (Printable(c) && c != ' ' && c != '%' && c != '=') {
        line += c;
      } else {
        line += '%';
        line += kHex[byte >> 4];
        line += kHex[byte & 15];
      }
    }
  }
  return line;
}

std::optional<Fields> ParseFields(std::string_view line) {
  const std::vector<std::string_view> words = SplitWords(line);
  if (words.empty() || !KeyWord(words[0])) return std::nullopt;
  Fields fields;
  fields.head = std::string(words[0]);
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::size_t equals = words[i].find('=');
    if (equals == std::string_view::npos || !KeyWord(words[i].substr(0, equals))) return std::nullopt;
    std::string value;
    const std::string_view encoded = words[i].substr(equals + 1);
    for (std::size_t j = 0; j < encoded.size(); ++j) {
      if (encoded[j] == '=') return std::nullopt;
      if (encoded[j] != '%') {
        value += encoded[j];
        continue;
      }
      const int high = j + 1 < encoded.size() ? HexDigit(encoded[j + 1]) : -1;
      const int low = j + 2 < encoded.size() ? HexDigit(encoded[j + 2]) : -1;
      if (high < 0 || low < 0) return std::nullopt;
      value += static_cast<char>(high << 4 | low);
      j += 2;
    }
    fields.values.emplace_back(std::string(words[i].substr(0, equals)), std::move(value));
  }
  return fields;
}

}  // namespace dualcam::host::service
