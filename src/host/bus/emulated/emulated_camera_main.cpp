// dualcam-emulated-camera: runs a command with the simulated camera plugged
// in as a USB device, so that anything using libusb (dualcam capture
// --device usb, a test binary) meets it as it would meet a real camera.
// scripts/with-emulated-camera.sh is the front door.
//
// Hard part: serving a child. The test bed and the camera's ioctl handler
// live in this process; the command runs as a child with umockdev's preload
// library and the test bed's UMOCKDEV_DIR, and its device requests arrive
// here. So this process must outlive the child, keep serving while it runs,
// and not die of the child's Ctrl-C (the terminal sends it to both): it
// ignores SIGINT, SIGTERM and SIGHUP while waiting, passes SIGTERM and
// SIGHUP on to the child, and ends with the child's exit status. This
// process runs with the preload too (it starts itself again under it): the
// "remove" uevent of an unplug is built from the test bed's sysfs, which
// only the preload shows.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/bus/emulated/usb_emulation.h"
#include "host/sim/scene.h"

namespace {

using namespace dualcam::host;

constexpr const char* kUsage = R"(usage: dualcam-emulated-camera [OPTION...] [--] COMMAND [ARG...]

Runs COMMAND with the simulated camera plugged in as a USB device (vendor
and product id 1209:0001, at usb:1-2): libusb, lsusb and 'dualcam capture
--device usb' see it as a real camera. Ends with COMMAND's exit status.

  --fps N             frames a second the camera sends (default 30; 0: as
                      fast as they are asked for)
  --frames N          the camera sends N frame intervals, then nothing
  --unplug-after N    the camera leaves the bus after N frames
  --refuse LIST       the bus refuses these alternate settings (e.g. 5,4)
  --scene FILE        a PNG photograph for the camera to film
  --cameras N         plug in N cameras (usb:1-2, usb:1-3, ...)
  --kernel-driver D   a kernel driver named D is bound to the interface
)";

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr, "dualcam-emulated-camera: %s\n%s", problem.c_str(), kUsage);
  std::exit(2);
}

unsigned Number(std::string_view option, const char* text) {
  unsigned value = 0;
  const std::string_view s = text ? text : "";
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || error != std::errc() || end != s.data() + s.size())
    Usage(std::string(option) + " needs a number, not '" + std::string(s) + "'");
  return value;
}

volatile sig_atomic_t g_forward = 0;
void Remember(int signal) { g_forward = signal; }

}  // namespace

int main(int argc, char** argv) {
  if (!bus::emulated::EmulatedUsb::Preloaded()) {
    std::string preload = "libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // An ASan build of this program must accept the preload ahead of it.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old) asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "dualcam-emulated-camera: cannot start under umockdev's preload: %s\n", std::strerror(errno));
    return 1;
  }
  double fps = 30;
  std::optional<uint64_t> frames;
  std::optional<uint64_t> unplug_after;
  std::set<uint8_t> refused;
  std::string scene;
  unsigned cameras = 1;
  std::string kernel_driver;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--") {
      ++i;
      break;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--fps") {
      fps = Number(arg, value());
    } else if (arg == "--frames") {
      frames = Number(arg, value());
    } else if (arg == "--unplug-after") {
      unplug_after = Number(arg, value());
    } else if (arg == "--refuse") {
      std::string list = value();
      for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const unsigned setting = Number(arg, list.substr(at, comma - at).c_str());
        if (setting > 5) Usage("the camera's alternate settings are 0 to 5");
        refused.insert(static_cast<uint8_t>(setting));
        at = comma + 1;
      }
    } else if (arg == "--scene") {
      scene = value();
    } else if (arg == "--cameras") {
      cameras = Number(arg, value());
      if (cameras < 1 || cameras > 8) Usage("--cameras takes 1 to 8");
    } else if (arg == "--kernel-driver") {
      kernel_driver = value();
    } else if (arg.size() > 1 && arg[0] == '-') {
      Usage("unknown option " + std::string(arg));
    } else {
      break;
    }
  }
  if (i >= argc) Usage("no command to run");

  std::shared_ptr<const sim::Scene> photo;
  if (!scene.empty()) {
    std::string error;
    photo = sim::PhotoScene::Load(scene, &error);
    if (!photo) {
      std::fprintf(stderr, "dualcam-emulated-camera: cannot use the scene %s: %s\n", scene.c_str(), error.c_str());
      return 1;
    }
  }

  std::unique_ptr<bus::emulated::EmulatedUsb> testbed;
  std::vector<bus::emulated::EmulatedCamera*> plugged;
  try {
    testbed = std::make_unique<bus::emulated::EmulatedUsb>();
    for (unsigned c = 0; c < cameras; ++c) {
      auto device = std::make_shared<bus::SimBus>();
      if (photo) device->Camera().SetScene(photo);
      if (!refused.empty()) device->RefuseAlternateSettings(refused);
      if (frames) device->LimitFrames(*frames);
      bus::emulated::EmulatedCamera::Options options;
      options.frames_per_second = fps;
      options.kernel_driver = kernel_driver;
      auto& camera = testbed->AddCamera(device, options);
      plugged.push_back(&camera);
      std::fprintf(stderr, "dualcam-emulated-camera: camera at usb:%s (1209:0001)\n", camera.Place().c_str());
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "dualcam-emulated-camera: %s\n", error.what());
    return 1;
  }

  // The child's Ctrl-C is the child's; this process serves until it ends.
  struct sigaction remember {};
  remember.sa_handler = Remember;
  sigaction(SIGTERM, &remember, nullptr);
  sigaction(SIGHUP, &remember, nullptr);
  signal(SIGINT, SIG_IGN);

  const pid_t child = fork();
  if (child < 0) {
    std::perror("dualcam-emulated-camera: fork");
    return 1;
  }
  if (child == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    // The preload (set above) and UMOCKDEV_DIR go to the command. An ASan build of the command must accept the preload ahead of it.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old) asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    execvp(argv[i], argv + i);
    std::fprintf(stderr, "dualcam-emulated-camera: cannot run %s: %s\n", argv[i], std::strerror(errno));
    _exit(127);
  }

  int status = 0;
  bool unplugged = false;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      std::perror("dualcam-emulated-camera: waitpid");
      return 1;
    }
    if (g_forward) {
      kill(child, g_forward);
      g_forward = 0;
    }
    if (unplug_after && !unplugged && plugged.front()->GetStats().frames >= *unplug_after) {
      for (auto* camera : plugged) testbed->Unplug(*camera);
      std::fprintf(stderr, "dualcam-emulated-camera: the camera left the bus after %llu frames\n",
                   static_cast<unsigned long long>(*unplug_after));
      unplugged = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(unplug_after && !unplugged ? 1 : 20));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
