// Replays every input kept in fuzz/corpus/<target> (the seeds and each
// input that once made a target fail) through the fuzz targets themselves,
// in one process per target as a fuzzing run would: none may crash, trip a
// sanitizer or end the daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Each target under its own name, so all four live in this one program.
#define LLVMFuzzerTestOneInput fuzzFrame
#include "fuzz/fuzz_frame.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzzClientMessage
#include "fuzz/fuzz_client_message.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzzCheckpoint
#include "fuzz/fuzz_checkpoint.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzzTopology
#include "fuzz/fuzz_topology.cpp"
#undef LLVMFuzzerTestOneInput

#include "fuzz/fuzz_daemon.cpp"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus(const std::string& target) {
    const fs::path dir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / target;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void replay(const std::string& target, int (*run)(const uint8_t*, size_t)) {
    const std::vector<fs::path> files = corpus(target);
    ASSERT_FALSE(files.empty()) << target;
    run(nullptr, 0);  // as libFuzzer starts: an empty input first
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> bytes = bytesOf(file);
        EXPECT_EQ(run(bytes.data(), bytes.size()), 0);
    }
}

TEST(FuzzCorpus, ReceivedFrames) { replay("frame", fuzzFrame); }
TEST(FuzzCorpus, ClientMessageStreams) { replay("client_message", fuzzClientMessage); }
TEST(FuzzCorpus, CheckpointMessages) { replay("checkpoint", fuzzCheckpoint); }
TEST(FuzzCorpus, TopologyFiles) { replay("topology", fuzzTopology); }

}  // namespace
