// The component's settings, states and closing.
#include "tests/zip/ZipTestSupport.h"

#include "zip/ZAExcept.h"

using namespace vx::zip;
using namespace vx::test;

namespace {

std::string EmptyArchiveBytes() {
    return std::string("PK\x05\x06\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 22);
}

int CodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EZAException& e) {
        return e.NativeError();
    }
    return -1;
}

TEST(ZipArchiverState, ConstructorValues) {
    TZipArchiver z;
    EXPECT_FALSE(z.ExtractCorruptedFiles());
    EXPECT_EQ(z.CompressionLevel(), clFastest);
    EXPECT_EQ(z.CompressionMode(), 1);
    EXPECT_EQ(z.CompressionMethod(), 8);
    EXPECT_EQ(z.CurrentVersion(), "2.63 ");
    EXPECT_EQ(z.SpanningMode(), smNone);
    EXPECT_EQ(z.Zip64Mode(), zmDisabled);
    EXPECT_TRUE(z.StandardSignatures());
    EXPECT_TRUE(z.AcceptDamaged());
    EXPECT_FALSE(z.IsOpen());
    const TZAOptions& o = z.Options();
    EXPECT_EQ(o.StorePath, spRelativePath);
    EXPECT_TRUE(o.Recurse);
    EXPECT_EQ(o.ShareMode, smShareDenyNone);
    EXPECT_EQ(o.OverwriteMode, omAlways);
    EXPECT_TRUE(o.CreateDirs && o.ReplaceReadOnly && o.SetAttributes && o.FlushBuffers && o.OEMFileNames);
    EXPECT_EQ(o.SearchAttr, 0x28BF);
    EXPECT_TRUE(z.SpanningOptions().AdvancedNaming);
    EXPECT_EQ(z.SpanningOptions().VolumeSize, vsAutoDetect);
    EXPECT_EQ(z.VolumeInfo().VolumeNumber, -1);
}

TEST(ZipArchiverState, CompressionLevelAndModeFollowEachOther) {
    TZipArchiver z;
    z.SetCompressionLevel(clNormal);
    EXPECT_EQ(z.CompressionMode(), 6);
    z.SetCompressionLevel(clMax);
    EXPECT_EQ(z.CompressionMode(), 9);
    const std::pair<int, TZACompressionLevel> modes[] = {{0, clNone},   {1, clFastest}, {3, clFastest},
                                                         {4, clNormal}, {5, clNormal},  {6, clNormal},
                                                         {7, clMax},    {9, clMax}};
    for (auto [mode, level] : modes) {
        z.SetCompressionMode(mode);
        EXPECT_EQ(z.CompressionLevel(), level) << mode;
    }
    z.SetCompressionMode(0);
    EXPECT_EQ(z.CompressionMethod(), 0);
    EXPECT_EQ(CodeOf([&] { z.SetCompressionMode(10); }), 5);
    EXPECT_EQ(z.CompressionMode(), 0);
}

TEST(ZipArchiverState, ReadOnlyAndRaisedValues) {
    TZipArchiver z;
    z.SetCurrentVersion("9.99");
    EXPECT_EQ(z.CurrentVersion(), "2.63 ");
    z.SpanningOptions().SetCustomVolumeSize(1000);
    EXPECT_EQ(z.SpanningOptions().CustomVolumeSize(), 65536);
    z.SpanningOptions().VolumeSize = vs1_44MB;
    EXPECT_EQ(z.SpanningOptions().VolumeBytes(false), 1457664);
    TStringList masks{"*.exe", "*.db"};
    z.SetFileMasks(masks);
    masks.Add("*.txt");
    EXPECT_EQ(z.FileMasks().Count(), 2);
}

class ZipArchiverLifecycle : public ZipFixture {};

TEST_F(ZipArchiverLifecycle, ClosingWhatWasNeverOpenedDoesNothing) {
    zip.CloseArchive();
    zip.CloseArchive();
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()));
}

TEST_F(ZipArchiverLifecycle, ExtractingNeedsAnOpenArchive) {
    try {
        ExtractAll();
        FAIL();
    } catch (const EZAException& e) {
        EXPECT_EQ(std::string(e.what()), "ZipArchiver: Archive is not open - Native error: 00013");
    }
    TMemoryStream out;
    EXPECT_EQ(CodeOf([&] { zip.ExtractEntryToStream(0, out); }), 13);
}

TEST_F(ZipArchiverLifecycle, SpanningModeCannotChangeWhileOpen) {
    Open("a.zip");
    try {
        zip.SetSpanningMode(smSplitting);
        FAIL();
    } catch (const EZAException&) {
        FAIL() << "a plain exception is expected";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot set spanning mode on open archive");
    }
}

TEST_F(ZipArchiverLifecycle, OpeningAgainClosesTheFirstArchive) {
    am::WriteTree(tmp.Path(), {{"x.txt", "x"}});
    am::MakeWithZip(tmp.Path(), P("one.zip"), {"x.txt"});
    Open("one.zip");
    Open("two.zip");
    EXPECT_EQ(zip.Directory()->Items.Count(), 0);
    zip.CloseArchive();
    EXPECT_EQ(Read("two.zip").size(), 22u);
    EXPECT_GT(Read("one.zip").size(), 22u);
}

TEST_F(ZipArchiverLifecycle, SwitchingInMemory) {
    Open("disco.zip");
    zip.SetInMemory(true);
    EXPECT_TRUE(zip.IsOpen());
    EXPECT_NE(dynamic_cast<TMemoryStream*>(zip.ArchiveStream()), nullptr);
    EXPECT_EQ(CodeOf([&] { zip.OpenWithMode(fmOpenRead); }), 28);
    zip.SetFileName("");
    EXPECT_EQ(CodeOf([&] { zip.SetInMemory(false); }), 29);
    zip.SetFileName("memoria.zip");
    zip.ArchiveStream()->WriteBuffer(std::string(EmptyArchiveBytes()).data(), 22);
    zip.SetInMemory(false);
    EXPECT_FALSE(zip.InMemory());
    EXPECT_TRUE(zip.IsOpen());
    EXPECT_EQ(Read("memoria.zip").size(), 22u);
}

} // namespace
