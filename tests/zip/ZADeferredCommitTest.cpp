// The deferred commit puts every file handed to it in place, however many
// there are (whole batches or not), and gives back the ones it could not.
#include "zip/ZADeferredCommit.h"

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

TZADeferredCommit::Job job(const TTempFolder& dir, const std::string& name, int index,
                           const std::string& folder = "") {
    TZADeferredCommit::Job j;
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

TEST(ZADeferredCommit, EveryFileIsInPlaceAfterDrainWhateverTheBatchSize) {
    TTempFolder dir;
    // Fewer files than a batch, exactly a batch, and two batches and a
    // part, so that earlier batches are committed while later ones fill.
    for (int count : {1, 4, 11}) {
        SCOPED_TRACE(count);
        TZADeferredCommit queue(4);
        for (int i = 0; i < count; ++i)
            queue.Add(job(dir, "f" + std::to_string(count) + "_" + std::to_string(i), i));
        EXPECT_TRUE(queue.Finish().empty());
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(read(dir / ("f" + std::to_string(count) + "_" + std::to_string(i))),
                      "file " + std::to_string(i));
        // The commit is used again after it finished.
        queue.Add(job(dir, "again" + std::to_string(count), 100));
        EXPECT_TRUE(queue.Finish().empty());
        EXPECT_TRUE(fs::exists(dir / ("again" + std::to_string(count))));
    }
    // No temporary is left behind.
    for (const auto& e : fs::directory_iterator(dir.Path()))
        EXPECT_NE(e.path().filename().string().rfind("~tmp", 0), 0u) << e.path();
}

TEST(ZADeferredCommit, AFileThatCannotBeRenamedIsGivenBackAndItsTemporaryRemoved) {
    TTempFolder dir;
    std::vector<TZADeferredCommit::Job> failed;
    {
        TZADeferredCommit queue(4);
        for (int i = 0; i < 6; ++i)
            queue.Add(job(dir, "f" + std::to_string(i), i, i == 2 || i == 5 ? "missing" : ""));
        failed = queue.Finish();
    }
    ASSERT_EQ(failed.size(), 2u);
    std::set<int> indexes{failed[0].index, failed[1].index};
    EXPECT_EQ(indexes, (std::set<int>{2, 5}));
    for (const auto& j : failed)
        EXPECT_FALSE(fs::exists(j.from));
    for (int i : {0, 1, 3, 4})
        EXPECT_EQ(read(dir / ("f" + std::to_string(i))), "file " + std::to_string(i));
}

// A batch is flushed and renamed only once it has filled (by files or by
// bytes), on the commit thread while the next fills; the next full batch
// waits for it. So before Finish the files of a batch still filling are
// untouched, those of every batch before the last full one are in place,
// and Finish puts the rest in place.
TEST(ZADeferredCommit, ABatchIsPutInPlaceOnlyOnceFull) {
    struct Row {
        size_t batchFiles;
        int64_t batchBytes, jobBytes;
        int count, surelyInPlace, handedOver;
    } rows[] = {
        {4, 1 << 20, 1, 3, 0, 0},   // not one batch full
        {4, 1 << 20, 1, 7, 0, 4},   // one full, maybe in place; the next filling
        {4, 1 << 20, 1, 8, 4, 8},   // the second filled: the first is surely done
        {4, 1 << 20, 1, 13, 8, 12}, // three full
        {100, 10, 6, 4, 2, 4},      // by bytes: two files fill a batch
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.count);
        TTempFolder dir;
        TZADeferredCommit queue(row.batchFiles, row.batchBytes);
        for (int i = 0; i < row.count; ++i) {
            TZADeferredCommit::Job j = job(dir, "f" + std::to_string(i), i);
            j.bytes = row.jobBytes;
            queue.Add(std::move(j));
        }
        for (int i = 0; i < row.count; ++i) {
            const bool there = fs::exists(dir / ("f" + std::to_string(i)));
            if (i < row.surelyInPlace) {
                EXPECT_TRUE(there) << i;
            } else if (i >= row.handedOver) {
                EXPECT_FALSE(there) << i;
            }
        }
        EXPECT_TRUE(queue.Finish().empty());
        for (int i = 0; i < row.count; ++i)
            EXPECT_EQ(read(dir / ("f" + std::to_string(i))), "file " + std::to_string(i));
    }
}
