// Replays every saved fuzz input through its target: the seed corpora
// (fuzz/corpus/<target>/) and the inputs that once broke something
// (fuzz/regressions/<target>/). A target aborts on any fault it detects, and
// the sanitizers of the build catch the rest, so each file must simply run
// to the end; this keeps every fixed fault fixed in every build, fuzzers or
// not.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "targets/targets.h"

namespace dualcam::fuzz {

void PrintTo(const FuzzTarget& target, std::ostream* os) { *os << target.Name; }

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsOf(const std::string& folder, const char* target) {
  std::vector<fs::path> files;
  const fs::path dir = fs::path(DUALCAM_FUZZ_DIR) / folder / target;
  if (!fs::is_directory(dir)) return files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class FuzzReplay : public ::testing::TestWithParam<FuzzTarget> {};

// Every target has seeds: a missing corpus would leave the fuzzer, and this
// replay, with nothing to start from.
TEST_P(FuzzReplay, SeedCorpusIsPresentAndEveryInputRunsClean) {
  const FuzzTarget target = GetParam();
  const std::vector<fs::path> seeds = InputsOf("corpus", target.Name);
  EXPECT_FALSE(seeds.empty()) << "no seeds for " << target.Name;
  for (const fs::path& path : seeds) {
    SCOPED_TRACE(path.string());
    const std::vector<uint8_t> bytes = ReadFile(path);
    EXPECT_EQ(target.Run(bytes.data(), bytes.size()), 0);
  }
}

TEST_P(FuzzReplay, SavedCrashInputsStayFixed) {
  const FuzzTarget target = GetParam();
  for (const fs::path& path : InputsOf("regressions", target.Name)) {
    SCOPED_TRACE(path.string());
    const std::vector<uint8_t> bytes = ReadFile(path);
    EXPECT_EQ(target.Run(bytes.data(), bytes.size()), 0);
  }
}

// Degenerate inputs every target must take: nothing, one byte of each
// extreme, and a long run of each (every choice at its first or last
// option, every length at its largest).
TEST_P(FuzzReplay, EmptyAndSaturatedInputs) {
  const FuzzTarget target = GetParam();
  EXPECT_EQ(target.Run(nullptr, 0), 0);
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x80}}) {
    SCOPED_TRACE(static_cast<int>(fill));
    const std::vector<uint8_t> one(1, fill);
    EXPECT_EQ(target.Run(one.data(), one.size()), 0);
    const std::vector<uint8_t> many(4096, fill);
    EXPECT_EQ(target.Run(many.data(), many.size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(AllTargets, FuzzReplay, ::testing::ValuesIn(AllTargets().begin(), AllTargets().end()),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace dualcam::fuzz
