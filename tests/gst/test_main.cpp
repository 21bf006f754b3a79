// The plugin tests' main: GStreamer set up in-process with the plugin
// registered statically (the module in the build tree is for the child
// processes), and cameras opened on virtual time.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include "dualcam_src.h"
#include "registration.h"

#if defined(__SANITIZE_THREAD__)
#define DUALCAM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DUALCAM_TSAN 1
#endif
#endif

#ifdef DUALCAM_TSAN
// GLib's mutexes and condition variables wait on futexes directly, which
// ThreadSanitizer cannot see; memory that GStreamer hands from one of its
// threads to another (a task's state freed at a state change) then looks
// raced inside GLib and GStreamer. Accesses made by those uninstrumented
// libraries are left out. Every access of ours stays checked, also those
// that GStreamer's streaming threads make in the elements: a plain counter
// raced between create() and get_property() is reported with this setting.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A registry cache of the tests' own, and no second copy of the plugin.
  g_unsetenv("GST_PLUGIN_PATH");
  g_setenv("GST_REGISTRY_1_0", DUALCAM_GST_REGISTRY_DIR "/test-registry.bin", TRUE);
  gst_init(nullptr, nullptr);
  if (!dualcam::gst::RegisterStatic()) {
    std::fprintf(stderr, "the plugin did not register\n");
    return 1;
  }
  dualcam::gst::UseSteppedHost(true);
  const int result = RUN_ALL_TESTS();
  gst_deinit();
  return result;
}
