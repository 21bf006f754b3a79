// The control protocol's parser and formatter: every request form that is
// taken, every way a request is refused (with the reason the client is
// told), replies both ways, and body records that carry any value.
#include <string>

#include <gtest/gtest.h>

#include "host/service/control_protocol.h"

namespace dualcam::host::service {
namespace {

TEST(ControlProtocol, RequestsRoundTripAndPeopleMayTypeThem) {
  const Request requests[] = {
      {Verb::kList, {}},
      {Verb::kGet, {"brightness", "white_balance"}},
      {Verb::kSet, {"saturation=0", "exposure=auto"}},
      {Verb::kReset, {}},
      {Verb::kReset, {"gamma"}},
      {Verb::kStatus, {}},
      {Verb::kStill, {}},
      {Verb::kStop, {}},
  };
  for (const Request& request : requests) {
    const ParsedRequest parsed = ParseRequest(FormatRequest(request));
    ASSERT_TRUE(parsed.ok()) << FormatRequest(request) << parsed.Message();
    EXPECT_EQ(parsed.request, request);
  }
  EXPECT_EQ(FormatRequest({Verb::kSet, {"hue=10"}}), "dualcam/1 set hue=10\n");
  // A terminal sends CR LF; a person may double a space.
  const ParsedRequest typed = ParseRequest("dualcam/1  get   hue \r\n");
  ASSERT_TRUE(typed.ok()) << typed.Message();
  EXPECT_EQ(typed.request, (Request{Verb::kGet, {"hue"}}));
  // The longest request taken: 1023 bytes and the LF.
  std::string longest = "dualcam/1 get ";
  while (longest.size() + 64 + 1 < kMaxRequestBytes) longest += std::string(63, 'a') + " ";
  longest += std::string(kMaxRequestBytes - 1 - longest.size(), 'b') + "\n";
  ASSERT_EQ(longest.size(), kMaxRequestBytes);
  EXPECT_TRUE(ParseRequest(longest).ok()) << ParseRequest(longest).Message();
  EXPECT_TRUE(RequestComplete(longest));
  EXPECT_FALSE(RequestComplete("dualcam/1 sta"));
}

TEST(ControlProtocol, MalformedRequestsAreRefusedWithTheirReason) {
  struct Case {
    std::string bytes;
    RequestError error;
  };
  const Case cases[] = {
      {"dualcam/1 status", RequestError::kUnterminated},
      {std::string(kMaxRequestBytes, 'x'), RequestError::kTooLong},
      {std::string(kMaxRequestBytes + 5, 'x') + "\n", RequestError::kTooLong},
      {"dualcam/1 status\ndualcam/1 stop\n", RequestError::kTrailingBytes},
      {std::string("dualcam/1 stat\0us\n", 18), RequestError::kNotText},
      {std::string("dualcam/1 get hue\0\n", 19), RequestError::kNotText},
      {"dualcam/1\tstatus\n", RequestError::kNotText},
      {"dualcam/1 get h\xC3\xA9\n", RequestError::kNotText},
      {"\n", RequestError::kEmpty},
      {"dualcam/1\n", RequestError::kEmpty},
      {"status\n", RequestError::kVersion},
      {"dualcam/2 status\n", RequestError::kVersion},
      {"GET / HTTP/1.0\n", RequestError::kVersion},
      {"dualcam/1 reboot\n", RequestError::kUnknownVerb},
      {"dualcam/1 STATUS\n", RequestError::kUnknownVerb},
      {"dualcam/1 get " + std::string(65, 'a') + "\n", RequestError::kWordTooLong},
      {"dualcam/1 list extra\n", RequestError::kArguments},
      {"dualcam/1 stop now\n", RequestError::kArguments},
      {"dualcam/1 get\n", RequestError::kArguments},
      {"dualcam/1 get hue=3\n", RequestError::kArguments},
      {"dualcam/1 reset gamma=0\n", RequestError::kArguments},
      {"dualcam/1 set\n", RequestError::kArguments},
      {"dualcam/1 set hue\n", RequestError::kArguments},
      {"dualcam/1 set =3\n", RequestError::kArguments},
      {"dualcam/1 set hue=\n", RequestError::kArguments},
  };
  for (const Case& c : cases) {
    const ParsedRequest parsed = ParseRequest(c.bytes);
    EXPECT_EQ(parsed.error, c.error) << "'" << c.bytes << "': " << parsed.Message();
  }
  std::string many = "dualcam/1 get";
  for (int i = 0; i < 33; ++i) many += " w" + std::to_string(i);
  EXPECT_EQ(ParseRequest(many + "\n").error, RequestError::kTooManyWords);

  // What the client is told names the trouble, in printable words.
  EXPECT_EQ(ParseRequest("dualcam/2 status\n").Message(),
            "not a dualcam/1 request: this camera speaks dualcam/1, the request 'dualcam/2'");
  EXPECT_EQ(ParseRequest("dualcam/1 set hue\n").Message(), "wrong arguments: set takes NAME=VALUE, got 'hue'");
  EXPECT_EQ(ParseRequest("dualcam/1 reboot\n").Message(),
            "unknown request (list, get, set, reset, status, still, stop): 'reboot'");
}

TEST(ControlProtocol, RepliesRoundTripAndStayPrintableAndBounded) {
  const Reply ok = Reply::Ok({"saturation value=0 min=0 max=63 default=40", ""});
  EXPECT_EQ(FormatReply(ok), "dualcam/1 ok\nsaturation value=0 min=0 max=63 default=40\n\n");
  const Reply error = Reply::Error(ReplyStatus::kRejected, "unknown control 'satur'");
  EXPECT_EQ(FormatReply(error), "dualcam/1 error rejected unknown control 'satur'\n");
  for (const Reply& reply : {ok, error, Reply::Ok(), Reply::Error(ReplyStatus::kBusy, "")}) {
    std::string why;
    const auto parsed = ParseReply(FormatReply(reply), &why);
    ASSERT_TRUE(parsed) << why;
    EXPECT_EQ(*parsed, reply);
  }
  // A handler's text cannot break the framing.
  EXPECT_EQ(FormatReply(Reply::Error(ReplyStatus::kInternal, "bad\nline\x01")),
            "dualcam/1 error internal bad?line?\n");
  EXPECT_EQ(FormatReply(Reply::Ok({"a\rb"})), "dualcam/1 ok\na?b\n");
  const Reply huge = Reply::Ok(std::vector<std::string>(200, std::string(100, 'x')));
  EXPECT_EQ(FormatReply(huge), "dualcam/1 error internal reply too long\n");

  struct Bad {
    std::string bytes;
    std::string why;
  };
  const Bad bad[] = {
      {"", "the camera's owner closed the connection without a reply"},
      {"dualcam/1 ok\nsaturation value=0", "the reply was cut short"},
      {"dualcam/2 ok\n", "the camera's owner speaks dualcam/2, this command dualcam/1"},
      {"HTTP/1.0 200 OK\n", "not a dualcam reply"},
      {"dualcam/1 fine\n", "unknown reply status 'fine'"},
      {"dualcam/1 ok then\n", "unknown reply status 'ok then'"},
      {"dualcam/1 error ok fine\n", "unknown error code 'ok'"},
      {"dualcam/1 error\n", "unknown reply status 'error'"},
      {"dualcam/1 error busy\nmore\n", "an error reply with a body"},
      {"dualcam/1 ok\n\x7F\n", "the reply holds bytes that are not text"},
      {"dualcam/1 ok\n" + std::string(kMaxReplyBytes, 'x') + "\n",
       "the reply is longer than " + std::to_string(kMaxReplyBytes) + " bytes"},
  };
  for (const Bad& b : bad) {
    std::string why;
    EXPECT_FALSE(ParseReply(b.bytes, &why)) << b.bytes;
    EXPECT_EQ(why, b.why);
  }
}

TEST(ControlProtocol, BodyRecordsCarryAnyValue) {
  Fields fields;
  fields.head = "still";
  fields.values = {{"file", "/home/a b/100%=done/snap\xC3\xA9.dat"}, {"empty", ""}, {"n", "42"}};
  const std::string line = FormatFields(fields);
  EXPECT_EQ(line, "still file=/home/a%20b/100%25%3Ddone/snap%C3%A9.dat empty= n=42");
  const auto parsed = ParseFields(line);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->head, "still");
  EXPECT_EQ(parsed->values, fields.values);
  EXPECT_EQ(parsed->Number("n", 0, 42), 42);
  EXPECT_FALSE(parsed->Number("n", 0, 41));
  EXPECT_FALSE(parsed->Number("empty", 0, 1));
  EXPECT_FALSE(parsed->Number("file", 0, 1));
  EXPECT_FALSE(parsed->Get("missing"));

  for (const char* bad : {"", "   ", "bad head", "h a", "h =1", "h a=1=2", "h a=%4", "h a=%G0", "h a=%", "h!x a=1"})
    EXPECT_FALSE(ParseFields(bad)) << bad;
}

}  // namespace
}  // namespace dualcam::host::service
