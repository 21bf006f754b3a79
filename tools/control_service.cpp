// The control socket's answers for a running capture (see control_service.h).
#include "control_service.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "command.h"
#include "host/kernel/registry.h"

namespace dualcam::tools {
namespace {

namespace service = host::service;
using service::Fields;
using service::FormatFields;
using service::Reply;
using service::ReplyStatus;
using service::Request;
using service::Verb;

// The driver answers a still request within its ten one-second waits at
// most; the mailbox is polled at the rate `dualcam snapshot` polls it.
constexpr auto kStillTimeout = std::chrono::seconds(12);
constexpr auto kStillPoll = std::chrono::milliseconds(50);

std::string Text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string ControlLine(const ControlAccess& controls, const ControlDef& control) {
  const DriverSession::Reading reading = controls.read(control);
  Fields fields{std::string(control.name), {{"value", std::to_string(reading.value)}}};
  if (control.has_auto) fields.values.emplace_back("mode", reading.automatic ? "auto" : "manual");
  fields.values.emplace_back("min", "0");
  fields.values.emplace_back("max", std::to_string(control.maximum));
  fields.values.emplace_back("default", std::to_string(control.default_value));
  return FormatFields(fields);
}

// The controls named (all when none), each checked before any is changed.
std::vector<const ControlDef*> Named(const std::vector<std::string>& names) {
  std::vector<const ControlDef*> controls;
  if (names.empty())
    for (const ControlDef& control : Controls()) controls.push_back(&control);
  for (const std::string& name : names) controls.push_back(&FindControl(name));
  return controls;
}


Reply Status(const ServedCapture& served) {
  const CaptureFigures& f = *served.figures;
  host::Registry registry(served.home.RegistryFile());
  const auto number = [](std::optional<uint32_t> value) { return value ? std::to_string(*value) : std::string("-"); };
  const uint64_t packets = f.packets_delivered.load(), accepted = f.packets_accepted.load();
  const OpenFormat format = f.Format().value_or(OpenFormat{"none", 0, 0, 0});
  return Reply::Ok({
      FormatFields({"format",
                    {{"kind", format.kind},
                     {"width", std::to_string(format.width)},
                     {"height", std::to_string(format.height)},
                     {"fps", Text(format.fps)}}}),
      FormatFields({"frames",
                    {{"delivered", std::to_string(f.delivered.load())},
                     {"decoded", std::to_string(f.decoded.load())},
                     {"repeated", std::to_string(f.repeated.load())},
                     {"blank", std::to_string(f.blank.load())}}}),
      FormatFields({"packets",
                    {{"delivered", std::to_string(packets)},
                     {"accepted", std::to_string(accepted)},
                     {"refused", std::to_string(packets - std::min(packets, accepted))}}}),
      FormatFields({"driver",
                    {{"status", number(registry.GetDword(host::kSettingsKeyPath, "DriverStatus"))},
                     {"iso_mode", number(registry.GetDword(host::kSettingsKeyPath, "IsoMode"))}}}),
      FormatFields({"owner", {{"pid", std::to_string(::getpid())}}}),
  });
}

// A still through the snapshot mailbox, as any other program asks the
// driver for one: the driver saves it and posts the result.
Reply Still(const ServedCapture& served) {
  // The driver answers the mailbox only while a stream is open.
  if (!served.figures->Format()) return Reply::Error(ReplyStatus::kUnavailable, "the camera is not streaming");
  host::Registry registry(served.home.RegistryFile());
  const std::string_view key = host::kSettingsKeyPath;
  if (registry.SetDword(key, "SnapShot", 0) != STATUS_SUCCESS || registry.SetDword(key, "SnapShoot", 1) != STATUS_SUCCESS)
    return Reply::Error(ReplyStatus::kInternal, "cannot write the still request into the settings key");
  const auto deadline = std::chrono::steady_clock::now() + kStillTimeout;
  for (;;) {
    const auto result = registry.GetDword(key, "SnapShot");
    if (result && *result != 0 && registry.GetDword(key, "SnapShoot") == 0u) {
      // Accepted at once, so that the camera's button may save the next
      // still; the file holds this one until then.
      registry.SetDword(key, "SnapShot", 0);
      if (*result != 1) return Reply::Error(ReplyStatus::kRejected, "the driver could not take the still");
      return Reply::Ok({FormatFields({"still", {{"file", served.home.SnapshotFile().string()}}})});
    }
    if (served.ending() || std::chrono::steady_clock::now() >= deadline) {
      registry.SetDword(key, "SnapShoot", 0);  // withdrawn: nobody waits for it any more
      return Reply::Error(ReplyStatus::kUnavailable, served.ending() ? "the capture is ending" : "no still came in time");
    }
    std::this_thread::sleep_for(kStillPoll);
  }
}

Reply Handle(const ServedCapture& served, const Request& request) {
  const ControlAccess& controls = served.controls;
  std::vector<std::string> lines;
  try {
    switch (request.verb) {
      case Verb::kList:
        for (const ControlDef& control : Controls()) lines.push_back(ControlLine(controls, control));
        break;
      case Verb::kGet:
        for (const ControlDef* control : Named(request.words)) lines.push_back(ControlLine(controls, *control));
        break;
      case Verb::kSet: {
        std::vector<ControlSetting> settings;
        for (const std::string& word : request.words) settings.push_back(ParseControlSetting(word));
        for (const ControlSetting& setting : settings) controls.apply(setting);
        for (const ControlSetting& setting : settings) lines.push_back(ControlLine(controls, *setting.control));
        break;
      }
      case Verb::kReset:
        for (const ControlDef* control : Named(request.words)) {
          controls.apply({control, std::nullopt, /*restore_default=*/true});
          lines.push_back(ControlLine(controls, *control));
        }
        break;
      case Verb::kStatus:
        return Status(served);
      case Verb::kStill:
        return Still(served);
      case Verb::kStop:
        served.stop();
        return Reply::Ok({FormatFields({"stopping", {{"pid", std::to_string(::getpid())}}})});
    }
  } catch (const std::runtime_error& error) {
    // A name or value the request got wrong, or a control the driver
    // refused (ToolError, or the owner's own error type).
    return Reply::Error(ReplyStatus::kRejected, error.what());
  }
  return Reply::Ok(std::move(lines));
}

}  // namespace

void CaptureFigures::PublishPackets(const host::StreamCounters& counters) {
  packets_delivered.store(counters.PacketsDelivered, std::memory_order_relaxed);
  packets_accepted.store(counters.PacketsAccepted, std::memory_order_relaxed);
}

void CaptureFigures::SetFormat(std::optional<OpenFormat> format) {
  std::lock_guard lock(mutex_);
  format_ = std::move(format);
}

std::optional<OpenFormat> CaptureFigures::Format() const {
  std::lock_guard lock(mutex_);
  return format_;
}

ControlAccess ControlAccess::Of(DriverSession& session) {
  return {[&session](const ControlDef& control) { return session.Read(control); },
          [&session](const ControlSetting& setting) { session.Apply(setting); }};
}

std::unique_ptr<service::ControlServer> ServeCapture(ServedCapture served, std::string* why) {
  static const CaptureFigures kNone;
  if (served.figures == nullptr) served.figures = &kNone;
  if (!served.stop) served.stop = [] {};
  if (!served.ending) served.ending = [] { return false; };
  auto shared = std::make_shared<ServedCapture>(std::move(served));
  auto started = service::ControlServer::Start(
      shared->lock, [shared](const Request& request) { return Handle(*shared, request); });
  if (!started.server && why != nullptr) *why = started.what + ": " + started.error.message();
  return std::move(started.server);
}

}  // namespace dualcam::tools
