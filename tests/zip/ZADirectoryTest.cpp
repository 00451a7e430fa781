// Opening archives and reading their directory: archives made by the real
// tools, damaged ones rebuilt from their local headers, and hostile bytes.
#include "tests/zip/ZipTestSupport.h"

#include <chrono>

#include "platform/Streams.h"
#include "zip/ZAConst.h"
#include "zip/ZAExcept.h"

using namespace vx::platform;
using namespace vx::zip;
using namespace vx::test;

namespace {

using am::TEntry;
using am::TZipBuilder;

const std::string EmptyArchive("PK\x05\x06\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 22);

class ZipOpen : public ZipFixture {
protected:
    // Two files and a folder, made with Info-ZIP zip.
    std::string MakeSample(const std::string& archive, const std::vector<std::string>& options = {}) {
        am::WriteTree(tmp.Path() + "/src",
                      {{"a.txt", am::TextBytes(5000, 1)}, {"sub/b.bin", am::RandomBytes(300, 2)}});
        am::MakeWithZip(tmp.Path() + "/src", P(archive), {"a.txt", "sub"}, joinR(options));
        return Read(archive);
    }
    static std::vector<std::string> joinR(std::vector<std::string> o) {
        o.push_back("-r");
        return o;
    }
    int OpenCode(const std::string& name) {
        try {
            Open(name);
        } catch (const EZAException& e) {
            return e.NativeError();
        }
        return -1;
    }
};

TEST_F(ZipOpen, MissingFileIsCreatedAndClosingWritesTheEmptyEndRecord) {
    Open("novo.zip");
    EXPECT_TRUE(zip.IsOpen());
    EXPECT_EQ(zip.ArchiveFileMode(), fmCreate);
    EXPECT_EQ(zip.Directory()->Items.Count(), 0);
    EXPECT_EQ(zip.VolumeInfo().Kind, TZAVolumeKind::vnkFirst);
    EXPECT_EQ(Read("novo.zip"), ""); // nothing is written before closing
    zip.CloseArchive();
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_EQ(Read("novo.zip"), EmptyArchive);
    // ... and that file opens as an empty archive whose data starts at 0.
    Open("novo.zip");
    EXPECT_EQ(zip.Directory()->Items.Count(), 0);
    EXPECT_EQ(zip.Directory()->DataShift, 0);
}

TEST_F(ZipOpen, OpeningAndClosingLeavesAnArchiveUnchanged) {
    std::string before = MakeSample("a.zip");
    Open(".\\A.ZIP"); // Windows name, other letter case
    EXPECT_EQ(zip.ArchiveFileMode(), fmOpenReadWrite | fmShareDenyWrite);
    EXPECT_EQ(zip.VolumeInfo().Kind, TZAVolumeKind::vnkLast);
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt", "sub/", "sub/b.bin"}));
    EXPECT_EQ(Item(0).UncompressedSize, 5000u);
    EXPECT_EQ(Item(0).Method, 8);
    EXPECT_EQ(Item(1).ExternalAttributes & 0x10, 0x10u);
    zip.CloseArchive();
    EXPECT_EQ(Read("a.zip"), before);
}

TEST_F(ZipOpen, FailuresOfOpening) {
    Write("vazio.zip", "");
    EXPECT_EQ(OpenCode("vazio.zip"), 35);
    EXPECT_FALSE(zip.IsOpen());
    Write("texto.zip", "not an archive at all");
    EXPECT_EQ(OpenCode("texto.zip"), 35);
    EXPECT_EQ(OpenCode(""), 9);
    EXPECT_EQ(OpenCode("pasta\\"), 9);
    zip.SetFileName("falta.zip");
    try {
        zip.OpenWithMode(fmOpenRead);
        FAIL();
    } catch (const EZAException& e) {
        EXPECT_EQ(std::string(e.what()), "ZipArchiver: File \"falta.zip\" not found - Native error: 00012");
    }
    zip.SetFileName("");
    try {
        zip.OpenWithMode(fmOpenRead);
        FAIL();
    } catch (const EZAException& e) {
        EXPECT_EQ(e.NativeError(), 10);
    }
}

TEST_F(ZipOpen, NamesAndCommentsFromEveryTool) {
    // UTF-8 names: Info-ZIP on Unix stores them unmarked, the others set
    // the UTF-8 flag. Each must come out as the same CP1252 name.
    am::WriteTree(tmp.Path() + "/src", {{"a\xC3\xA7\xC3\xA3o.txt", "x"}});
    am::MakeWithZip(tmp.Path() + "/src", P("zip.zip"), {"a\xC3\xA7\xC3\xA3o.txt"});
    am::MakeWith7z(tmp.Path() + "/src", P("7z.zip"), {"a\xC3\xA7\xC3\xA3o.txt"});
    am::MakeWithBsdtar(tmp.Path() + "/src", P("bsdtar.zip"), {"a\xC3\xA7\xC3\xA3o.txt"});
    am::MakeWithPython(P("py.zip"), "z.writestr('a\\u00e7\\u00e3o.txt', 'x')");
    for (const char* archive : {"zip.zip", "7z.zip", "bsdtar.zip", "py.zip"}) {
        Open(archive);
        EXPECT_EQ(Names(), std::vector<std::string>{"a\xE7\xE3o.txt"}) << archive;
    }
    am::MakeWithPython(P("comments.zip"), "i = zipfile.ZipInfo('f.txt'); i.comment = b'nota'\n"
                                          "z.writestr(i, 'x'); z.comment = b'Vendarix 2.1'");
    Open("comments.zip");
    EXPECT_EQ(zip.Directory()->ArchiveComment, "Vendarix 2.1");
    EXPECT_EQ(Item(0).Comment, "nota");
}

TEST_F(ZipOpen, OemNamesAndBackslashes) {
    TZipBuilder b;
    TEntry e;
    e.name = "Rela\x87\xC6o\\Mar\x87o.txt"; // CP850: c cedilla, a tilde
    e.data = "x";
    b.Add(e);
    Write("oem.zip", b.Build());
    Open("oem.zip");
    EXPECT_EQ(Names(), std::vector<std::string>{"Rela\xE7\xE3o/Mar\xE7o.txt"});
    zip.CloseArchive();
    zip.Options().OEMFileNames = false;
    Open("oem.zip");
    EXPECT_EQ(Names(), std::vector<std::string>{"Rela\x87\xC6o/Mar\x87o.txt"});
}

TEST_F(ZipOpen, Zip64ArchivesAreReadWithZip64Disabled) {
    am::WriteTree(tmp.Path() + "/src", {{"a.txt", "hello"}});
    am::MakeWithZip(tmp.Path() + "/src", P("z64.zip"), {"a.txt"}, {"-fz"});
    Open("z64.zip");
    EXPECT_TRUE(zip.Directory()->HasZip64End);
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
    EXPECT_TRUE(Item(0).HasZip64Info);
    ExtractAll();
    EXPECT_EQ(Read("a.txt"), "hello");
}

TEST_F(ZipOpen, DamagedArchivesAreRebuiltFromLocalHeaders) {
    std::string good = MakeSample("good.zip");
    // Junk after the end record: its comment length no longer fits.
    Write("appended.zip", good + "trailing junk");
    // A download cut in the middle of the second file.
    size_t cut = good.find("sub/b.bin") + 100;
    Write("truncated.zip", good.substr(0, cut));
    for (const char* archive : {"appended.zip", "truncated.zip"}) {
        Open(archive);
        EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt", "sub/", "sub/b.bin"})) << archive;
        EXPECT_EQ(Item(0).ExternalAttributes, 0x20u);
        EXPECT_EQ(Item(1).ExternalAttributes, 0x10u); // size 0: taken as a folder
        EXPECT_EQ(zip.Directory()->ArchiveComment, "");
        EXPECT_EQ(zip.Directory()->EndRecord.TotalEntries, 0);
    }
    // The rebuilt truncated archive still gives the complete first file.
    Open("truncated.zip");
    TMemoryStream out;
    zip.ExtractEntryToStream(0, out);
    EXPECT_EQ(out.Size(), 5000);
}

TEST_F(ZipOpen, RebuiltUnixNamesStayUtf8) {
    am::WriteTree(tmp.Path() + "/src", {{"a\xC3\xA7\xC3\xA3o.txt", "x"}});
    am::MakeWithZip(tmp.Path() + "/src", P("u.zip"), {"a\xC3\xA7\xC3\xA3o.txt"});
    std::string bytes = Read("u.zip");
    Write("u-cut.zip", bytes.substr(0, bytes.find(std::string("PK\x01\x02", 4))));
    Open("u-cut.zip");
    EXPECT_EQ(Names(), std::vector<std::string>{"a\xE7\xE3o.txt"});
}

TEST_F(ZipOpen, RebuildTakesSizesFromDataDescriptors) {
    am::WriteTree(tmp.Path() + "/src", {{"a.txt", am::TextBytes(3000, 3)}});
    // Written to a pipe, zip cannot go back: sizes follow in descriptors.
    ASSERT_EQ(am::Run({"sh", "-c", "zip -q - a.txt > ../stream.zip"}, tmp.Path() + "/src"), 0);
    std::string bytes = Read("stream.zip");
    Write("cut.zip", bytes.substr(0, bytes.find(std::string("PK\x01\x02", 4))));
    Open("cut.zip");
    ASSERT_EQ(Names(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(Item(0).UncompressedSize, 3000u);
    ExtractAll();
    EXPECT_EQ(Read("a.txt"), am::TextBytes(3000, 3));
}

TEST_F(ZipOpen, ArchivesBehindAStub) {
    std::string stub = am::RandomBytes(777, 9);
    std::string archive = MakeSample("plain.zip");
    Open("plain.zip");
    uint32_t folderOffset = Item(1).HeaderOffset, fileOffset = Item(2).HeaderOffset;
    zip.CloseArchive();
    // Offsets counted from the archive's start: shifted by the stub.
    Write("shifted.zip", stub + archive);
    Open("shifted.zip");
    EXPECT_EQ(zip.Directory()->DataShift, 777);
    EXPECT_EQ(Item(0).HeaderOffset, 777u);
    EXPECT_EQ(Item(1).HeaderOffset, folderOffset); // folders are left as stored
    EXPECT_EQ(Item(2).HeaderOffset, fileOffset + 777);
    ExtractAll();
    EXPECT_EQ(Read("a.txt"), am::TextBytes(5000, 1));
    EXPECT_EQ(Read("sub/b.bin"), am::RandomBytes(300, 2));
    zip.CloseArchive();
    // Offsets already adjusted (zip -A): left alone.
    ASSERT_EQ(am::Run({"zip", "-q", "-A", P("shifted.zip")}, ""), 0);
    Open("shifted.zip");
    EXPECT_EQ(Item(0).HeaderOffset, 777u);
    EXPECT_EQ(Item(2).HeaderOffset, fileOffset + 777);
    std::filesystem::remove(P("a.txt"));
    ExtractAll();
    EXPECT_EQ(Read("a.txt"), am::TextBytes(5000, 1));
}

TEST_F(ZipOpen, EmptyArchiveDataShiftIsItsEndRecordPosition) {
    Write("stub-empty.zip", "0123456789" + EmptyArchive);
    Open("stub-empty.zip");
    EXPECT_EQ(zip.Directory()->Items.Count(), 0);
    EXPECT_EQ(zip.Directory()->DataShift, 10);
}

// Bytes no tool makes: each must be refused cleanly or read within bounds.
struct HostileCase {
    const char* what;
    std::function<std::string()> bytes;
    int code; // EZAException code, 0 for the stream read error, -1 for opening fine
};

std::string withEndRecordField(std::string a, size_t fieldOffset, uint32_t value, int width) {
    size_t end = a.rfind(std::string("PK\x05\x06", 4));
    for (int i = 0; i < width; ++i)
        a[end + fieldOffset + i] = static_cast<char>(value >> (8 * i));
    return a;
}

std::string oneEntry(TEntry e) {
    TZipBuilder b;
    b.Add(std::move(e));
    return b.Build();
}

class ZipHostile : public ZipOpen, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(ZipHostile, RefusedOrReadWithinBounds) {
    Write("h.zip", GetParam().bytes());
    int code = -1;
    try {
        Open("h.zip");
        // Whatever opened must also extract without harm.
        zip.OnProcessFileFailure = [](TObject*, const std::string&, TZAProcessOperation, int32_t, int32_t,
                                      const std::string&, TZAAction& a) { a = fxaIgnore; };
        zip.SetBaseDir(P("out"));
        ExtractAll();
    } catch (const EZAException& e) {
        code = e.NativeError();
    } catch (const EReadError&) {
        code = 0;
    }
    EXPECT_EQ(code, GetParam().code) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ZipHostile,
    ::testing::Values(
        HostileCase{"count past the end",
                    [] { return withEndRecordField(oneEntry({.name = "a", .data = "x"}), 10, 60000, 2); }, 0},
        HostileCase{
            "directory larger than the file",
            [] { return withEndRecordField(oneEntry({.name = "a", .data = "x"}), 12, 0x7FFFFFF0, 4); }, 0},
        HostileCase{
            "negative directory size",
            [] { return withEndRecordField(oneEntry({.name = "a", .data = "x"}), 12, 0xFFFFFFF0, 4); }, 0},
        HostileCase{"multi-volume",
                    [] { return withEndRecordField(oneEntry({.name = "a", .data = "x"}), 4, 3, 2); }, 44},
        HostileCase{"locator pointing nowhere",
                    [] {
                        std::string a = oneEntry({.name = "a", .data = "x"});
                        size_t end = a.rfind(std::string("PK\x05\x06", 4));
                        std::string locator("PK\x06\x07\0\0\0\0\xF0\xFF\xFF\xFF\xFF\xFF\xFF\x7F\x01\0\0\0",
                                            20);
                        return a.substr(0, end) + std::string(56, 'z') + locator + a.substr(end);
                    },
                    40},
        HostileCase{"name of 300 characters",
                    [] { return oneEntry({.name = std::string(300, 'n'), .data = "x"}); }, -1},
        HostileCase{"extra block overrunning its field",
                    [] {
                        return oneEntry({.name = "a",
                                         .data = "x",
                                         .extra = std::string("\x01\0\xFF\x00"
                                                              "abc",
                                                              7)});
                    },
                    -1},
        HostileCase{"truncated extra block header",
                    [] { return oneEntry({.name = "a", .data = "x", .extra = std::string("\x01\0", 2)}); },
                    -1},
        HostileCase{"local header past the end",
                    [] {
                        TZipBuilder b;
                        b.Add({.name = "a", .data = "x"});
                        std::string a = b.Build();
                        size_t c = a.find(std::string("PK\x01\x02", 4));
                        a[c + 42] = '\x7F';
                        a[c + 45] = '\x7F';
                        return a;
                    },
                    -1}, // refused with error 8, the rest extracted
        HostileCase{"only a signature", [] { return std::string("PK\x03\x04", 4); }, 35},
        HostileCase{"local headers every four bytes",
                    [] {
                        std::string s;
                        for (int i = 0; i < 5000; ++i)
                            s += std::string("PK\x03\x04", 4);
                        return s;
                    },
                    -1}));

TEST_F(ZipOpen, LongNamesAndCommentsAreCut) {
    TEntry e{.name = std::string(300, 'n'), .data = "x", .comment = std::string(400, 'c')};
    Write("long.zip", oneEntry(e));
    Open("long.zip");
    EXPECT_EQ(Item(0).Name, std::string(256, 'n'));
    EXPECT_EQ(Item(0).Comment, std::string(256, 'c'));
    EXPECT_EQ(Item(0).NameLength, 300);
}

TEST(ZADirArray, GrowthAndIndexErrors) {
    TZADirArray a;
    a.SetCount(1);
    EXPECT_EQ(a.Capacity(), 1000);
    a.SetCount(1001);
    EXPECT_EQ(a.Capacity(), 3000);
    a.SetCount(50000);
    EXPECT_EQ(a.Capacity(), 50000);
    a.Item(7).Name = "x";
    a.SetCount(10);
    EXPECT_EQ(a.GetItem(7).Name, "x");
    a.Delete(0);
    EXPECT_EQ(a.Count(), 9);
    EXPECT_EQ(a.GetItem(6).Name, "x");
    auto code = [](auto f) {
        try {
            f();
        } catch (const EZAException& e) {
            return e.NativeError();
        }
        return -1;
    };
    EXPECT_EQ(code([&] { a.SetItem(9, TDirItem{}); }), 1);
    EXPECT_EQ(code([&] { a.GetItem(-1); }), 2);
    EXPECT_EQ(code([&] { a.Item(9); }), 3);
    EXPECT_EQ(code([&] { a.Delete(100); }), 4);
    a.Clear();
    EXPECT_EQ(a.Count(), 0);
    EXPECT_EQ(a.Capacity(), 0);
}

// Past 65,535 entries without Zip64 the end record's count wraps; the
// directory's size says how many records there really are.
TEST_F(ZipOpen, EntryCountPast16BitsWithoutZip64) {
    TZipBuilder b;
    for (int i = 0; i < 70000; ++i)
        b.Add({.name = "f" + std::to_string(i), .data = i % 1000 == 0 ? "dados" : ""});
    std::string bytes = b.Build();
    ASSERT_EQ(static_cast<uint8_t>(bytes[bytes.size() - 12]) | static_cast<uint8_t>(bytes[bytes.size() - 11])
                                                                   << 8,
              70000 - 65536);
    Write("muitos.zip", bytes);
    auto start = std::chrono::steady_clock::now();
    Open("muitos.zip");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(zip.Directory()->Items.Count(), 70000);
    EXPECT_EQ(Item(69999).Name, "f69999");
    EXPECT_EQ(Item(69000).HeaderOffset, b.headerOffsets[69000]);
    EXPECT_EQ(zip.Directory()->DataShift, 0);
    EXPECT_FALSE(Item(69000).Overlapping);
    // Reading, offset correction and the overlap check stay linear.
    EXPECT_LT(seconds, 2.0);
    TMemoryStream out;
    zip.ExtractEntryToStream(69000, out);
    EXPECT_EQ(out.Size(), 5);
}

// Data shared between entries (a few KB that extract to gigabytes), or an
// entry reaching into the directory, is refused before anything is written.
TEST_F(ZipOpen, OverlappingEntriesAreRefused) {
    // One local header and its data; forty central records all point at it.
    TZipBuilder one;
    one.Add({.name = "k", .data = std::string(2 << 20, '\0'), .method = 8});
    std::string single = one.Build();
    size_t central = single.find(std::string("PK\x01\x02", 4));
    std::string record = single.substr(central, 46 + 1);
    std::string shared = single.substr(0, central);
    for (int i = 0; i < 40; ++i) {
        std::string r = record;
        r[46] = static_cast<char>('A' + i % 26); // a one-letter name each
        shared += r;
    }
    std::string end("PK\x05\x06\0\0\0\0\x28\0\x28\0", 12);
    uint32_t dirSize = 47 * 40;
    for (int i = 0; i < 4; ++i)
        end += static_cast<char>(dirSize >> (8 * i));
    for (int i = 0; i < 4; ++i)
        end += static_cast<char>(central >> (8 * i));
    end += std::string("\0\0", 2);
    Write("bomba.zip", shared + end);

    // Chained: each entry's data covers the headers of the ones after it.
    TZipBuilder chain;
    chain.Add({.name = "a.txt", .data = "aaaa"});
    chain.Add({.name = "b.txt", .data = "bbbb"});
    std::string chained = chain.Build();
    size_t c0 = chained.find(std::string("PK\x01\x02", 4));
    uint32_t bigger = 4 + 30 + 5 + 4; // a.txt's data runs over b.txt's header
    for (int i = 0; i < 4; ++i)
        chained[c0 + 20 + i] = static_cast<char>(bigger >> (8 * i));
    Write("cadeia.zip", chained);

    std::vector<int> codes;
    zip.OnProcessFileFailure = [&](TObject*, const std::string&, TZAProcessOperation, int32_t native, int32_t,
                                   const std::string&, TZAAction& a) {
        codes.push_back(native);
        a = fxaIgnore;
    };
    Open("bomba.zip");
    ASSERT_EQ(zip.Directory()->Items.Count(), 40);
    ExtractAll();
    EXPECT_EQ(codes, std::vector<int>(40, 8));
    EXPECT_FALSE(Exists("A"));
    codes.clear();
    Open("cadeia.zip");
    ExtractAll();
    EXPECT_EQ(codes, std::vector<int>(2, 8));
    EXPECT_FALSE(Exists("a.txt"));
    EXPECT_FALSE(Exists("b.txt"));
}

// Foreign bytes in front of the archive, with offsets stored from the
// archive's own start: the move is found from an entry that has data.
TEST_F(ZipOpen, PrefixedArchivesWhateverTheirFirstEntry) {
    am::WriteTree(tmp.Path() + "/src", {{"pasta/a.txt", am::TextBytes(3000, 31)}, {"vazio.txt", ""}});
    am::MakeWithZip(tmp.Path() + "/src", P("pasta.zip"), {"pasta"}, {"-r"});
    am::MakeWithZip(tmp.Path() + "/src", P("vazio.zip"), {"vazio.txt", "pasta/a.txt"});
    am::MakeWithZip(tmp.Path() + "/src", P("z64.zip"), {"vazio.txt", "pasta/a.txt"}, {"-fz"});
    const std::string prefix = "0123456789";
    for (const char* name : {"pasta.zip", "vazio.zip", "z64.zip"}) {
        Write(std::string("p-") + name, prefix + Read(name));
        Open(std::string("p-") + name);
        std::filesystem::remove_all(P("pasta"));
        ExtractAll();
        EXPECT_TRUE(TestDialogs().shown.empty()) << name << ": " << TestDialogs().Texts()[0];
        EXPECT_EQ(Read("pasta/a.txt"), am::TextBytes(3000, 31)) << name;
        TestDialogs().Reset();
    }
}

// A Zip64 end record with an extensible data sector is longer than its
// fixed 56 bytes; the directory ends where the record begins.
TEST_F(ZipOpen, Zip64EndRecordWithExtensibleDataSector) {
    am::WriteTree(tmp.Path() + "/src", {{"a.txt", am::TextBytes(4000, 32)}});
    am::MakeWithZip(tmp.Path() + "/src", P("z64.zip"), {"a.txt"}, {"-fz"});
    std::string bytes = Read("z64.zip");
    size_t record = bytes.rfind(std::string("PK\x06\x06", 4));
    ASSERT_NE(record, std::string::npos);
    const std::string sector(24, 'x');
    uint64_t length = 0;
    for (int i = 0; i < 8; ++i)
        length |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[record + 4 + i])) << (8 * i);
    length += sector.size();
    for (int i = 0; i < 8; ++i)
        bytes[record + 4 + i] = static_cast<char>(length >> (8 * i));
    bytes.insert(record + 56, sector);
    Write("setor.zip", bytes);
    Open("setor.zip");
    ASSERT_EQ(Names(), std::vector<std::string>{"a.txt"});
    ExtractAll();
    EXPECT_EQ(Read("a.txt"), am::TextBytes(4000, 32));
}

// The rebuild scan reads the names of Unix tools that leave no mark: valid
// multi-byte UTF-8 is taken as UTF-8.
TEST_F(ZipOpen, RebuiltNamesWithoutMarksReadAsUtf8) {
    am::WriteTree(tmp.Path() + "/src", {{"a\xC3\xA7\xC3\xA3o.txt", "x"}});
    // -X: no extra fields, so no Unix block tells the system.
    am::MakeWithZip(tmp.Path() + "/src", P("u.zip"), {"a\xC3\xA7\xC3\xA3o.txt"}, {"-X"});
    Write("junk.zip", Read("u.zip") + "junk after the end record");
    Open("junk.zip");
    EXPECT_EQ(Names(), std::vector<std::string>{"a\xE7\xE3o.txt"});
}

} // namespace
