// The commit queue puts every file handed to it in place, however many
// there are (whole batches or not), and gives back the ones it could not.
#include "zip/ZACommitQueue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#ifdef _WIN32
// The C library there opens in text mode unless told otherwise; nothing is
// inherited by a program started later anyway.
#define O_CLOEXEC _O_BINARY
#endif

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/TempFolder.h"

using namespace vx::zip;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

TZACommitQueue::Job job(const TTempFolder& dir, const std::string& name, int index,
                        const std::string& folder = "") {
    TZACommitQueue::Job j;
    j.from = dir / ("~tmp" + std::to_string(index));
    j.to = dir / (folder.empty() ? name : folder + "/" + name);
    j.folder = dir.Path();
    j.index = index;
    j.fd = ::open(j.from.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const std::string content = "file " + std::to_string(index);
    EXPECT_EQ(::write(j.fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    return j;
}

std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(ZACommitQueue, EveryFileIsInPlaceAfterDrainWhateverTheBatchSize) {
    TTempFolder dir;
    // Fewer files than a batch, exactly a batch, and a batch and a part,
    // with a full queue making the producer wait.
    for (int count : {1, 4, 11}) {
        SCOPED_TRACE(count);
        TZACommitQueue queue(3, 6, 4);
        for (int i = 0; i < count; ++i)
            queue.Submit(job(dir, "f" + std::to_string(count) + "_" + std::to_string(i), i));
        EXPECT_TRUE(queue.Drain().empty());
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(read(dir / ("f" + std::to_string(count) + "_" + std::to_string(i))),
                      "file " + std::to_string(i));
        // The queue is used again after a drain.
        queue.Submit(job(dir, "again" + std::to_string(count), 100));
        EXPECT_TRUE(queue.Drain().empty());
        EXPECT_TRUE(fs::exists(dir / ("again" + std::to_string(count))));
    }
    // No temporary is left behind.
    for (const auto& e : fs::directory_iterator(dir.Path()))
        EXPECT_NE(e.path().filename().string().rfind("~tmp", 0), 0u) << e.path();
}

TEST(ZACommitQueue, AFileThatCannotBeRenamedIsGivenBackAndItsTemporaryRemoved) {
    TTempFolder dir;
    std::vector<TZACommitQueue::Job> failed;
    {
        TZACommitQueue queue(2, 8, 4);
        for (int i = 0; i < 6; ++i)
            queue.Submit(job(dir, "f" + std::to_string(i), i, i == 2 || i == 5 ? "missing" : ""));
        failed = queue.Drain();
    }
    ASSERT_EQ(failed.size(), 2u);
    std::set<int> indexes{failed[0].index, failed[1].index};
    EXPECT_EQ(indexes, (std::set<int>{2, 5}));
    for (const auto& j : failed)
        EXPECT_FALSE(fs::exists(j.from));
    for (int i : {0, 1, 3, 4})
        EXPECT_EQ(read(dir / ("f" + std::to_string(i))), "file " + std::to_string(i));
}
