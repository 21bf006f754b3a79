// The control socket's cost per request: a whole exchange as `dualcam ctl`
// makes it (ask the lock, connect, check the peer, send, read the reply to
// the end) against a server whose handler answers at once with a status of
// the usual size, so what is measured is the socket's own work on both
// sides, which runs on the server's thread and never on the frame path.
//
// Hard part: the figure is wall time (the two sides run on two threads),
// so it is measured with UseRealTime and read beside the CPU time.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include "host/service/control_client.h"
#include "host/service/control_server.h"
#include "support/test_data.h"

namespace {

using namespace dualcam::host::service;

void BM_ControlRequestRoundTrip(benchmark::State& state) {
  dualcam::testing::TempDir folder("control-bench");
  ::chmod(folder.path().c_str(), 0700);
  auto lock = CameraLock::TryAcquire(folder.path()).lock;
  const Reply status = Reply::Ok({"format kind=rgb24 width=352 height=288 fps=30",
                                  "frames delivered=900 decoded=899 repeated=1 blank=0",
                                  "packets delivered=21000 accepted=19800 refused=1200",
                                  "driver status=5 iso_mode=1", "owner pid=1"});
  auto started = ControlServer::Start(*lock, [&](const Request&) { return status; });
  if (!started.server) {
    state.SkipWithError(started.what.c_str());
    return;
  }
  for (auto _ : state) {
    const Answer answer = AskCamera(folder.path(), {Verb::kStatus, {}});
    if (!answer.reply.ok()) state.SkipWithError(answer.error.c_str());
    benchmark::DoNotOptimize(answer.reply.lines.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ControlRequestRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
