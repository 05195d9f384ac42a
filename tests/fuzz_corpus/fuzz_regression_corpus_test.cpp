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

// Each fuzz target is built into this program as a translation unit of its
// own, its entry point renamed (tests/CMakeLists.txt).
extern "C" {
int fuzzFrame(const uint8_t*, size_t);
int fuzzClientMessage(const uint8_t*, size_t);
int fuzzCheckpoint(const uint8_t*, size_t);
int fuzzTopology(const uint8_t*, size_t);
int fuzzControl(const uint8_t*, size_t);
int fuzzSavedConfig(const uint8_t*, size_t);
int fuzzNetlink(const uint8_t*, size_t);
}

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus(const std::string& target) {
    const fs::path dir = fs::path(COIL_SOURCE_DIR) / "fuzz" / "corpus" / target;
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
TEST(FuzzCorpus, ControlRequests) { replay("control", fuzzControl); }
TEST(FuzzCorpus, SavedConfigurations) { replay("saved_config", fuzzSavedConfig); }
TEST(FuzzCorpus, NetlinkReads) { replay("netlink", fuzzNetlink); }

}  // namespace
