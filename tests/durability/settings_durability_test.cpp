// The settings key as a mailbox between processes: writers in other
// processes, one of them killed with SIGKILL in the middle of its writes,
// while this process runs captures whose start loads the settings and whose
// stop saves the camera's state into the same key.
//
// Hard part: proving "nothing lost, nothing torn" across processes that
// cannot report what they were doing when they died. Each writer writes
// values that describe themselves: a DWORD carries its own slot and round,
// a string its slot, round and a checksum of both, so any value found can
// be checked on its own, and a writer that finishes knows exactly which
// round each of its slots must show. The children are forked before this
// process starts any thread, and use only their own registry connection.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "camera/settings.h"
#include "driver/callbacks.h"
#include "driver/device_context.h"
#include "driver/lifecycle.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/registry.h"
#include "host/kernel/wide.h"
#include "host/classlib/camera_class_library.h"
#include "platform/ks.h"
#include "platform/usbcamd.h"
#include "support/sim_device.h"

namespace dualcam::durability {
namespace {

namespace fs = std::filesystem;
using host::Registry;

constexpr int kSlots = 6;
constexpr int kWriterRounds = 50;
constexpr int kVictimRounds = 20000;  // far longer than the test: runs until killed
constexpr std::string_view kKey = host::kSettingsKeyPath;

std::string SlotName(int writer, int slot, bool text) {
  return "Durability." + std::to_string(writer) + "." + std::to_string(slot) + (text ? ".Text" : "");
}

uint32_t SlotWord(int slot, int round) { return static_cast<uint32_t>(slot) << 24 | static_cast<uint32_t>(round); }

uint32_t Checksum(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

std::string SlotText(int writer, int slot, int round) {
  const std::string body = std::to_string(writer) + ":" + std::to_string(slot) + ":" + std::to_string(round) + ":";
  // Long enough to span more than one page of the registry file's rows.
  return body + std::string(200 + round % 300, static_cast<char>('a' + slot)) + ":" +
         std::to_string(Checksum(body));
}

// One write that must land; a busy database is retried, as any program
// sharing the key would.
bool MustSet(Registry& registry, const std::string& name, const host::RegistryValue& value) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (registry.SetValue(kKey, name, value) == STATUS_SUCCESS) return true;
    usleep(1000);
  }
  return false;
}

// A writer process: its own slots, plus the shared image settings (in range
// and, every few rounds, out of range or of the wrong type). A writer that
// runs until it is killed pauses between rounds, as a program sharing the key
// would: one that never lets go of the database starves every other writer
// (SQLite's busy wait polls, it does not queue).
[[noreturn]] void Writer(const fs::path& file, int writer, int rounds, pid_t parent) {
  int code = 0;
  try {
    Registry registry(file);
    for (int round = 0; round < rounds && code == 0; ++round) {
      if (getppid() != parent) _exit(5);  // the test is gone: stop
      for (int slot = 0; slot < kSlots; ++slot) {
        if (!MustSet(registry, SlotName(writer, slot, false), host::RegistryValue::Dword(SlotWord(slot, round))) ||
            !MustSet(registry, SlotName(writer, slot, true),
                     host::RegistryValue::String(SlotText(writer, slot, round))))
          code = 3;
      }
      registry.SetDword(kKey, "Brightness", static_cast<uint32_t>((round * 7 + writer) % 256));
      registry.SetDword(kKey, "Gamma", static_cast<uint32_t>(round % 10));
      if (round % 5 == writer % 5) registry.SetDword(kKey, "Contrast", 0x80000000u + round);
      if (round % 7 == 0) registry.SetString(kKey, "Saturation", "sixty");
      if (round % 7 == 3) registry.SetDword(kKey, "Saturation", static_cast<uint32_t>(round % 64));
      if (rounds == kVictimRounds) usleep(2000);
    }
  } catch (...) {
    code = 4;
  }
  _exit(code);
}

int ExitCode(pid_t pid);

pid_t Spawn(const fs::path& file, int writer, int rounds) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) Writer(file, writer, rounds, parent);
  return pid;
}

// The writer processes: reaped as they end (their exit codes kept), and
// killed and reaped when a check ends the test early, so none outlives it.
struct Children {
  std::map<pid_t, int> Codes;  // -1 while running
  ~Children() {
    for (auto& [pid, code] : Codes) {
      if (code != -1) continue;
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  bool Running(pid_t pid) {
    int status = 0;
    if (Codes[pid] == -1 && waitpid(pid, &status, WNOHANG) == pid)
      Codes[pid] = WIFSIGNALED(status) ? 1000 + WTERMSIG(status) : WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    return Codes[pid] == -1;
  }
  int Reap(pid_t pid) {
    if (Codes[pid] == -1) Codes[pid] = ExitCode(pid);
    return Codes[pid];
  }
};

int ExitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// Parses a self-describing text value; nothing when it is not one.
std::optional<int> RoundOfText(const std::string& text, int writer, int slot) {
  const std::string prefix = std::to_string(writer) + ":" + std::to_string(slot) + ":";
  if (text.rfind(prefix, 0) != 0) return std::nullopt;
  const std::size_t roundEnd = text.find(':', prefix.size());
  if (roundEnd == std::string::npos) return std::nullopt;
  const int round = std::atoi(text.substr(prefix.size(), roundEnd - prefix.size()).c_str());
  if (text != SlotText(writer, slot, round)) return std::nullopt;
  return round;
}

void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK) {}

KS_DATAFORMAT_VIDEOINFOHEADER Format176() {
  KS_DATAFORMAT_VIDEOINFOHEADER ks{};
  ks.DataFormat.FormatSize = sizeof ks;
  ks.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  ks.VideoInfoHeader.bmiHeader.biWidth = 176;
  ks.VideoInfoHeader.bmiHeader.biHeight = 144;
  ks.VideoInfoHeader.bmiHeader.biBitCount = 24;
  return ks;
}

// Every fixed-default setting of the record lies in its range.
void ExpectValidSettings(const driver::DeviceContext* ctx) {
  for (const camera::SettingInfo& info : camera::kSettingsTable) {
    if (info.FirmwareVariable != camera::kNoFirmwareVariable) continue;
    EXPECT_TRUE(camera::SettingInRange(info.Id, camera::SettingValue(ctx, info.Id)))
        << host::Utf16ToUtf8(info.Name);
  }
}

class SettingsDurability : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dualcam-durability-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "root");
    file_ = dir_ / "registry.db";
    Registry registry(file_);
    ASSERT_EQ(host::InstallSettingsKey(registry), STATUS_SUCCESS);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path dir_, file_;
};

TEST_F(SettingsDurability, WritersAndAKilledWriterLoseAndTearNothingWhileCapturesRun) {
  // Children first, before this process has any thread.
  const pid_t writerA = Spawn(file_, 1, kWriterRounds);
  const pid_t writerB = Spawn(file_, 2, kWriterRounds);
  const pid_t victim = Spawn(file_, 3, kVictimRounds);
  Children children;
  for (pid_t pid : {writerA, writerB, victim}) children.Codes[pid] = -1;
  ASSERT_GT(writerA, 0);
  ASSERT_GT(writerB, 0);
  ASSERT_GT(victim, 0);

  {
    host::HostOptions options = host::HostOptions::ForTests();  // virtual clock, stepped queue
    options.RegistryFile = file_;
    options.FileRoot = dir_ / "root";
    host::HostKernel kernel(options);
    host::ScopedKernel installed(kernel);
    ASSERT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, 4, IgnoreRequest), STATUS_SUCCESS);
    host::CameraDevice::Options attach = dualcam::testing::SimDeviceOptions(nullptr, driver::CameraCallbacks());
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<host::CameraDevice> device = host::CameraDevice::Attach(attach, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto* ctx = static_cast<driver::DeviceContext*>(device->DeviceContext());

    KS_DATAFORMAT_VIDEOINFOHEADER format = Format176();
    std::vector<uint8_t> picture(176 * 144 * 3);
    // Captures run until both writers have finished (at least twelve), and
    // the victim is killed in the middle of its writes once it has written
    // a few rounds.
    bool killed = false;
    const auto victimRound = [&] {
      const auto word = kernel.registry().GetDword(kKey, SlotName(3, 0, false));
      return word ? static_cast<int>(*word & 0xFFFFFF) : -1;
    };
    for (int cycle = 0; cycle < 12 || children.Running(writerA) || children.Running(writerB) || !killed; ++cycle) {
      ASSERT_LT(cycle, 20000) << "the writers never finished";
      // Capture start loads the settings from the key being written.
      ASSERT_EQ(device->StartCapture(&format), STATUS_SUCCESS) << "cycle " << cycle;
      ExpectValidSettings(ctx);
      for (int frame = 0; frame < 3; ++frame) device->QueueRead(picture, nullptr);
      device->Pump(4);
      device->CancelReads();
      // Capture stop parks the camera and saves its state into the key.
      device->StopCapture();
      if (!killed && cycle >= 4 && victimRound() >= 3) {
        ASSERT_EQ(kill(victim, SIGKILL), 0);
        killed = true;
      }
    }
    kernel.workQueue().Discard();
    // The names go while the record still exists, then the record.
    driver::RemoveDeviceNames(ctx);
    device->Remove();
    device.reset();
    host::ResetCameraDriver();
  }

  EXPECT_EQ(children.Reap(writerA), 0);
  EXPECT_EQ(children.Reap(writerB), 0);
  EXPECT_EQ(children.Reap(victim), 1000 + SIGKILL);

  // A fresh connection, as the next driver load or tool would open.
  Registry registry(file_);
  for (int writer : {1, 2}) {
    for (int slot = 0; slot < kSlots; ++slot) {
      SCOPED_TRACE("writer " + std::to_string(writer) + " slot " + std::to_string(slot));
      EXPECT_EQ(registry.GetDword(kKey, SlotName(writer, slot, false)), SlotWord(slot, kWriterRounds - 1));
      const auto text = registry.GetValue(kKey, SlotName(writer, slot, true));
      ASSERT_TRUE(text.has_value());
      ASSERT_TRUE(text->AsString().has_value());
      EXPECT_EQ(RoundOfText(*text->AsString(), writer, slot), kWriterRounds - 1);
    }
  }
  // The killed writer: whatever it got written is whole, and its slots were
  // written in order, so no slot is ahead of the one before it by more than
  // the round in flight.
  int firstRound = -1;
  for (int slot = 0; slot < kSlots; ++slot) {
    SCOPED_TRACE("victim slot " + std::to_string(slot));
    const auto word = registry.GetValue(kKey, SlotName(3, slot, false));
    if (!word) continue;
    const auto value = word->AsDword();
    ASSERT_TRUE(value.has_value()) << "a torn or retyped DWORD";
    EXPECT_EQ(*value >> 24, static_cast<uint32_t>(slot));
    const int round = static_cast<int>(*value & 0xFFFFFF);
    if (firstRound < 0) firstRound = round;
    EXPECT_TRUE(round == firstRound || round + 1 == firstRound) << round << " after " << firstRound;
    if (const auto text = registry.GetValue(kKey, SlotName(3, slot, true))) {
      ASSERT_TRUE(text->AsString().has_value());
      const auto textRound = RoundOfText(*text->AsString(), 3, slot);
      ASSERT_TRUE(textRound.has_value()) << "a torn string";
      EXPECT_TRUE(*textRound == round || *textRound + 1 == round);
    }
  }
  EXPECT_GT(firstRound, 0) << "the victim was killed before it wrote anything";
  // The key still takes writes after the kill (no lock left behind).
  EXPECT_EQ(registry.SetDword(kKey, "Durability.after", 1), STATUS_SUCCESS);

  // The driver's next load gets valid settings.
  host::HostOptions options = host::HostOptions::ForTests();
  options.RegistryFile = file_;
  options.FileRoot = dir_ / "root";
  host::HostKernel kernel(options);
  host::ScopedKernel installed(kernel);
  driver::DeviceContext ctx{};
  EXPECT_EQ(camera::LoadSettings(nullptr, &ctx), STATUS_SUCCESS);
  ExpectValidSettings(&ctx);
  EXPECT_LT(ctx.Brightness, 256u);
}

}  // namespace
}  // namespace dualcam::durability
