// Decoding ahead on a second thread: the pass must show the same events,
// boxes and files as when it decodes each entry itself, whatever the
// answers, and the output waiting between the threads stays bounded.
#include "tests/zip/ZipTestSupport.h"

#include <chrono>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "platform/Files.h"
#include "zip/ZADecodeAhead.h"

using namespace vx::platform;
using namespace vx::zip;
using namespace vx::test;

namespace {

using am::TEntry;
using am::TZipBuilder;

// Entries of every kind the pass meets: small and multi-chunk, stored and
// deflated, a folder, one that the thread does not decode (encrypted), one
// whose data fails its check in the middle, and one with more output than
// declared.
std::string MixedArchive(size_t& corruptAt) {
    TZipBuilder b;
    b.Add({.name = "a.txt", .data = am::TextBytes(30000, 1), .method = 8});
    b.Add({.name = "pasta/", .data = "", .externalAttributes = 0x10});
    b.Add({.name = "pasta/ruido.bin", .data = am::RandomBytes(2500000, 2)}); // stored, 3 chunks
    b.Add({.name = "pasta/texto.txt", .data = am::TextBytes(5 * 1048576 + 3, 3), .method = 8}); // whole
    b.Add({.name = "grande.bin", .data = am::RandomBytes(9 * 1048576, 4), .method = 8});        // streamed
    b.Add({.name = "ruim.txt", .data = am::TextBytes(40000, 5), .method = 8});
    b.Add({.name = "segredo.txt", .data = "x", .payload = std::string(13, 'k'), .flags = 1});
    b.Add({.name = "vazio.txt", .data = ""});
    b.Add({.name = "longo.txt", .data = am::TextBytes(90000, 6), .method = 8, .uncompressedSize = 500});
    for (int i = 0; i < 40; ++i)
        b.Add({.name = "p/" + std::to_string(i) + ".txt",
               .data = am::TextBytes(100 + 37 * i, 10 + i),
               .method = static_cast<uint16_t>(i % 2 ? 8 : 0)});
    std::string bytes = b.Build();
    corruptAt = b.headerOffsets[5] + 30 + 8 + 200;
    bytes[corruptAt] ^= 0x5A;
    return bytes;
}

class ZipDecodeAhead : public ZipFixture {
protected:
    // Everything the pass shows, in order, and what it leaves on disk.
    struct Run {
        std::vector<std::string> events;
        std::map<std::string, std::string> files;
    };

    Run Extract(bool ahead, const std::vector<TZAAction>& answers, bool keepCorrupted = false,
                int cancelAtChunk = -1) {
        Run run;
        size_t answered = 0;
        int chunks = 0;
        zip.SetDecodeAhead(ahead);
        zip.SetExtractCorruptedFiles(keepCorrupted);
        zip.OnOverallProgress = [&](TObject*, double progress, TZAProcessOperation, TZAProgressPhase phase,
                                    bool&) {
            std::ostringstream s;
            s << "overall " << phase << " " << progress;
            run.events.push_back(s.str());
        };
        zip.OnFileProgress = [&](TObject*, const std::string& name, double progress, TZAProcessOperation,
                                 TZAProgressPhase phase, bool& cancel) {
            std::ostringstream s;
            s << "file " << name << " " << phase << " " << progress;
            run.events.push_back(s.str());
            if (phase == ppProcess && ++chunks == cancelAtChunk)
                cancel = true;
        };
        zip.OnProcessFileFailure = [&](TObject*, const std::string& name, TZAProcessOperation, int32_t native,
                                       int32_t, const std::string& message, TZAAction& action) {
            run.events.push_back("failure " + name + " " + std::to_string(native) + " " + message);
            action = answered < answers.size() ? answers[answered++] : fxaIgnore;
        };
        zip.OnPassword = [&](TObject*, const std::string& name, std::string&, bool& skip) {
            run.events.push_back("password " + name);
            skip = true;
        };
        const std::string dest = root + (ahead ? "/ahead" : "/inline");
        std::filesystem::create_directories(dest);
        zip.SetBaseDir(dest);
        Open("mix.zip");
        ExtractAll();
        zip.CloseArchive();
        for (const auto& e : std::filesystem::recursive_directory_iterator(dest))
            run.files[e.path().lexically_relative(dest).string()] =
                e.is_directory() ? "<folder>" : am::ReadFileBytes(e.path().string());
        return run;
    }

    void ExpectSame(const std::vector<TZAAction>& answers, bool keepCorrupted = false,
                    int cancelAtChunk = -1) {
        Run inline_ = Extract(false, answers, keepCorrupted, cancelAtChunk);
        Run ahead = Extract(true, answers, keepCorrupted, cancelAtChunk);
        EXPECT_EQ(ahead.events, inline_.events);
        EXPECT_EQ(ahead.files.size(), inline_.files.size());
        for (const auto& [name, data] : inline_.files) {
            auto found = ahead.files.find(name);
            ASSERT_NE(found, ahead.files.end()) << name;
            EXPECT_TRUE(found->second == data) << name;
        }
    }

    void SetUp() override {
        size_t corruptAt = 0;
        Write("mix.zip", MixedArchive(corruptAt));
        root = tmp.Path();
    }

    std::string root; // where the two runs extract to
};

TEST_F(ZipDecodeAhead, SameEventsBoxesAndFilesAsDecodingInline) {
    // Ignore every failure: the corrupt entry, the encrypted one refused at
    // its password, the over-long one.
    ExpectSame({});
    Run run = Extract(true, {});
    EXPECT_EQ(run.files["a.txt"], am::TextBytes(30000, 1));
    EXPECT_EQ(run.files["grande.bin"], am::RandomBytes(9 * 1048576, 4));
    EXPECT_EQ(run.files["p/39.txt"], am::TextBytes(100 + 37 * 39, 49));
    EXPECT_EQ(run.files.count("ruim.txt"), 0u);
    EXPECT_EQ(run.files.count("longo.txt"), 0u);
}

TEST_F(ZipDecodeAhead, RetryAbortCancelAndKeptCorruptionMatchToo) {
    // A retry decodes the entry again on the pass's thread, then the pass
    // goes on with what was decoded ahead.
    ExpectSame({fxaRetry, fxaRetry, fxaIgnore});
    // Abort in the middle: nothing after the corrupt entry is written, and
    // the thread is stopped while it waits for room.
    ExpectSame({fxaAbort});
    // Cancel in the middle of the streamed entry, and in the first chunk
    // of a whole one.
    ExpectSame({}, false, 6);
    ExpectSame({}, false, 4);
    // Kept corrupted output, the over-long entry whole.
    ExpectSame({}, true);
}

// On a file system kept in memory files are renamed without a flush, by
// another queue: the same events and files as on the disk.
TEST_F(ZipDecodeAhead, InMemoryFileSystemGivesTheSameAsTheDisk) {
    const std::string shm = "/dev/shm";
    if (!std::filesystem::is_directory(shm))
        GTEST_SKIP() << "no /dev/shm";
    Run onDisk = Extract(true, {fxaRetry, fxaIgnore});
    root = shm + "/vx-ahead-" + std::to_string(getpid());
    std::filesystem::remove_all(root);
    Run inMemory = Extract(true, {fxaRetry, fxaIgnore});
    std::filesystem::remove_all(root);
    EXPECT_EQ(inMemory.events, onDisk.events);
    EXPECT_TRUE(inMemory.files == onDisk.files);
    EXPECT_EQ(inMemory.files.size(), 47u);
}

// What a pass would write, decoded through the thread alone.
struct TDecoded {
    std::string bytes;
    TZADecodeResult result = TZADecodeResult::Ok;
};

class TStringStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        if (failAfter >= 0 && static_cast<int64_t>(bytes.size()) + count > failAfter)
            return 0;
        bytes.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(bytes.size()); }
    void SetSize(int64_t) override {}
    std::string bytes;
    int64_t failAfter = -1;
};

class ZipDecodeAheadUnit : public ZipFixture {
protected:
    std::unique_ptr<TZADecodeAhead> Start(bool keepExcess, size_t poolLimit) {
        std::vector<TZADecodeAhead::Job> jobs;
        for (int32_t i = 0; i < zip.Directory()->Items.Count(); ++i)
            jobs.push_back({i, Item(i)});
        return std::make_unique<TZADecodeAhead>(*zip.ArchiveStream(), zip.ArchiveStream()->Size(), keepExcess,
                                                std::move(jobs), poolLimit);
    }
};

TEST_F(ZipDecodeAheadUnit, HighRatioOutputStaysWithinThePool) {
    // 24 MiB of zeros declared as 1,000 bytes, kept as written: it streams
    // through a pool of 2 MiB while the pass writes slowly.
    TZipBuilder b;
    b.Add({.name = "zeros", .data = std::string(24u << 20, '\0'), .method = 8, .uncompressedSize = 1000});
    b.Add({.name = "depois.txt", .data = "depois", .method = 8});
    Write("bomba.zip", b.Build());
    Open("bomba.zip");
    auto ahead = Start(true, 2u << 20);
    class TSlowCount : public TStream {
    public:
        int64_t Read(void*, int64_t) override { return 0; }
        int64_t Write(const void*, int64_t count) override {
            total += count;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return count;
        }
        int64_t Seek(int64_t, TSeekOrigin) override { return total; }
        void SetSize(int64_t) override {}
        int64_t total = 0;
    } slow;
    int reports = 0;
    auto progress = [&](double, double) { return ++reports > 0; };
    EXPECT_EQ(ahead->Take(0, slow, progress), TZADecodeResult::SizeMismatch);
    EXPECT_EQ(slow.total, int64_t{24} << 20);
    TStringStream next;
    EXPECT_EQ(ahead->Take(1, next, progress), TZADecodeResult::Ok);
    EXPECT_EQ(next.bytes, "depois");
    EXPECT_LE(ahead->PeakBytes(), size_t{2} << 20);
    EXPECT_GE(reports, 1);
}

TEST_F(ZipDecodeAheadUnit, StoppedEntriesSkippedItemsAndRetakes) {
    TZipBuilder b;
    b.Add({.name = "um", .data = am::TextBytes(3 * 1048576, 1), .method = 8});
    b.Add({.name = "dois", .data = am::RandomBytes(3 * 1048576, 2)});
    b.Add({.name = "tres", .data = "tres", .method = 8});
    b.Add({.name = "quatro", .data = am::RandomBytes(5 * 1048576, 4), .method = 8}); // streamed
    Write("q.zip", b.Build());
    Open("q.zip");
    auto ahead = Start(false, 2u << 20);
    // A full disk in the first entry: its other output is dropped.
    TStringStream full;
    full.failAfter = 1000;
    EXPECT_EQ(ahead->Take(0, full, nullptr), TZADecodeResult::WriteFailed);
    // The second entry is passed over by the pass; the third is whole.
    TStringStream three;
    EXPECT_EQ(ahead->Take(2, three, nullptr), TZADecodeResult::Ok);
    EXPECT_EQ(three.bytes, "tres");
    // Taken once: a retry decodes it itself; passed over: the same.
    EXPECT_FALSE(ahead->Take(2, three, nullptr).has_value());
    EXPECT_FALSE(ahead->Take(1, three, nullptr).has_value());
    EXPECT_FALSE(ahead->Take(7, three, nullptr).has_value());
    // Cancelled at its second report: the rest of it is not waited for.
    int reports = 0;
    TStringStream four;
    EXPECT_EQ(ahead->Take(3, four, [&](double, double) { return ++reports < 2; }),
              TZADecodeResult::Cancelled);
    EXPECT_EQ(reports, 2);
    // Destroyed with nothing taken: the thread stops.
    auto untouched = Start(false, 1u << 20);
    untouched.reset();
}

} // namespace
