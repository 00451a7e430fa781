// Extraction as the updater runs it, against archives made by the real
// tools, and the rules for targets: folders, overwriting, unsafe names,
// failures answered in the failure box.
#include "tests/zip/ZipTestSupport.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Files.h"
#include "zip/ZACrypt.h"
#include "zip/ZAExcept.h"
#include "zip/ZATempName.h"

using namespace vx::platform;
using namespace vx::zip;
using namespace vx::test;

namespace {

using am::TEntry;
using am::TZipBuilder;

const std::string Acao = "a\xC3\xA7\xC3\xA3o.txt"; // as on disk (UTF-8)

std::vector<am::TSource> SampleTree() {
    return {{"a.txt", am::TextBytes(200000, 4)},
            {"big.bin", am::TextBytes(3 * 1048576 + 123, 5)}, // several 1 MiB chunks
            {"noise.bin", am::RandomBytes(1500000, 6)},       // stored by deflaters too
            {"empty.txt", ""},
            {"sub/dir/r.bin", am::RandomBytes(5000, 7)},
            {Acao, "acentos"},
            {"run.sh", "#!/bin/sh\necho ok\n"}};
}

struct ToolCase {
    const char* name;
    std::function<void(const std::string& src, const std::string& archive)> make;
    bool keepsUnixMode;
};

const std::vector<std::string> TopNames = {"a.txt", "big.bin", "noise.bin", "empty.txt",
                                           "sub",   Acao,      "run.sh"};

std::string PythonAdd(const char* compression, const char* extra = "") {
    return std::string("import os\nos.chdir(sys.argv[2])\n") +
           "for root, dirs, files in os.walk('.'):\n"
           "    for f in sorted(files):\n"
           "        p = os.path.join(root, f)[2:]\n" +
           "        i = zipfile.ZipInfo.from_file(p, p)\n"
           "        i.compress_type = zipfile." +
           compression + "\n" + "        with open(p, 'rb') as s, z.open(i, 'w'" + extra +
           ") as d: d.write(s.read())\n";
}

void MakeWithPythonIn(const std::string& src, const std::string& archive, const std::string& code) {
    std::string script =
        "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w')\n" + code + "\nz.close()\n";
    std::string out;
    ASSERT_EQ(am::Run({"/usr/bin/python3", "-c", script, archive, src}, "", &out), 0) << out;
}

class ZipToolMatrix : public ZipFixture, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(ZipToolMatrix, ExtractedBytesEqualTheSources) {
    std::string src = tmp.Path() + "/src";
    am::WriteTree(src, SampleTree());
    chmod((src + "/run.sh").c_str(), 0755);
    GetParam().make(src, P("pacote.zip"));
    Open("pacote.zip");
    ExtractAll(); // into the working folder, as the updater does
    EXPECT_TRUE(TestDialogs().shown.empty()) << TestDialogs().Texts()[0];
    for (const auto& f : SampleTree())
        EXPECT_EQ(Read(f.name), f.data) << f.name;
    if (GetParam().keepsUnixMode) {
        struct stat st;
        ASSERT_EQ(stat(P("run.sh").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
    }
    zip.CloseArchive();
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ZipToolMatrix,
    ::testing::Values(
        ToolCase{"zip_deflate", [](auto& s, auto& a) { am::MakeWithZip(s, a, TopNames, {"-r"}); }, true},
        ToolCase{"zip_stored",
                 [](auto& s, auto& a) {
                     am::MakeWithZip(s, a, TopNames, {"-r", "-0"});
                 },
                 true},
        ToolCase{"zip_zip64",
                 [](auto& s, auto& a) {
                     am::MakeWithZip(s, a, TopNames, {"-r", "-fz"});
                 },
                 true},
        ToolCase{"zip_streamed",
                 [](auto& s, auto& a) {
                     // Written to a pipe: every entry has a data descriptor.
                     ASSERT_EQ(am::Run({"sh", "-c", "zip -q -r - . > '" + a + "'"}, s), 0);
                 },
                 true},
        ToolCase{"7z_deflate", [](auto& s, auto& a) { am::MakeWith7z(s, a, TopNames); }, false},
        ToolCase{"7z_stored", [](auto& s, auto& a) { am::MakeWith7z(s, a, TopNames, {"-mx0"}); }, false},
        ToolCase{"bsdtar_deflate", [](auto& s, auto& a) { am::MakeWithBsdtar(s, a, TopNames); }, true},
        ToolCase{"bsdtar_stored",
                 [](auto& s, auto& a) {
                     am::MakeWithBsdtar(s, a, TopNames, {"--options", "zip:compression=store"});
                 },
                 true},
        ToolCase{"python_deflate",
                 [](auto& s, auto& a) { MakeWithPythonIn(s, a, PythonAdd("ZIP_DEFLATED")); }, true},
        ToolCase{"python_stored", [](auto& s, auto& a) { MakeWithPythonIn(s, a, PythonAdd("ZIP_STORED")); },
                 true},
        ToolCase{
            "python_zip64",
            [](auto& s, auto& a) { MakeWithPythonIn(s, a, PythonAdd("ZIP_DEFLATED", ", force_zip64=True")); },
            true}),
    [](const auto& info) { return std::string(info.param.name); });

class ZipExtract : public ZipFixture {
protected:
    // Failures reported through the event, as (native error, message).
    std::vector<std::pair<int32_t, std::string>> failures;
    void RecordFailures(TZAAction answer = fxaIgnore) {
        zip.OnProcessFileFailure = [this, answer](TObject*, const std::string&, TZAProcessOperation,
                                                  int32_t native, int32_t, const std::string& message,
                                                  TZAAction& action) {
            failures.emplace_back(native, message);
            action = answer;
        };
    }
    // a.txt and b.txt; with `corrupt`, one byte of a.txt's data flipped.
    void MakePair(const std::string& archive, bool corrupt) {
        TZipBuilder b;
        b.Add({.name = "a.txt", .data = am::TextBytes(20000, 8), .method = 8});
        b.Add({.name = "b.txt", .data = "bee", .method = 8});
        std::string bytes = b.Build();
        if (corrupt)
            bytes[b.headerOffsets[0] + 30 + 5 + 100] ^= 0x55;
        Write(archive, bytes);
    }
};

TEST_F(ZipExtract, CorruptEntryIsReportedAndTheOldFileStays) {
    MakePair("ruim.zip", true);
    Write("a.txt", "versao antiga");
    TestDialogs().answers = {mrIgnore};
    Open("ruim.zip");
    ExtractAll();
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    const TDialogRequest& box = TestDialogs().shown[0].request;
    EXPECT_EQ(box.text, "ZipArchiver: Invalid size or check sum of file or unsupported compression format - "
                        "Native error: 00008. File processing error, possibly disk is full");
    EXPECT_EQ(box.title, "Confirmar");
    EXPECT_EQ(box.icon, TDialogIcon::Question);
    ASSERT_EQ(box.buttons.size(), 3u);
    EXPECT_EQ(box.buttons[0].caption, "&Abortar");
    EXPECT_EQ(box.buttons[1].caption, "&Tentar");
    EXPECT_EQ(box.buttons[2].caption, "&Ignorar");
    EXPECT_EQ(Read("a.txt"), "versao antiga");
    EXPECT_EQ(Read("b.txt"), "bee");
    // No temporary is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.Path()), {}), 3);
}

TEST_F(ZipExtract, FailureBoxAnswers) {
    MakePair("ruim.zip", true);
    Open("ruim.zip");
    // Retry decodes again (and fails again); abort stops the pass.
    TestDialogs().answers = {mrRetry, mrAbort};
    ExtractAll();
    EXPECT_EQ(TestDialogs().shown.size(), 2u);
    EXPECT_FALSE(Exists("a.txt"));
    EXPECT_FALSE(Exists("b.txt"));
    EXPECT_EQ(zip.FilesDone(), 0);
}

TEST_F(ZipExtract, CorruptedOutputKeptWhenAsked) {
    TZipBuilder b;
    b.Add({.name = "a.txt", .data = "dados com crc errado", .crc = 0xDEADBEEF});
    Write("ruim.zip", b.Build());
    zip.SetExtractCorruptedFiles(true);
    Open("ruim.zip");
    ExtractAll();
    EXPECT_TRUE(TestDialogs().shown.empty());
    EXPECT_EQ(Read("a.txt"), "dados com crc errado");
    EXPECT_EQ(FileGetDate(P("a.txt")), 0x5A216000);
}

TEST_F(ZipExtract, Deflate64IsRefusedWithoutPrefix) {
    am::WriteTree(tmp.Path() + "/src", {{"d.txt", am::TextBytes(50000, 9)}});
    am::MakeWith7z(tmp.Path() + "/src", P("d64.zip"), {"d.txt"}, {"-mm=Deflate64"});
    RecordFailures();
    Open("d64.zip");
    ASSERT_EQ(Item(0).Method, 9);
    ExtractAll();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, 55);
    EXPECT_EQ(failures[0].second, "Deflate64 compression method is not supported - Native error: 00055");
    EXPECT_FALSE(Exists("d.txt"));
}

TEST_F(ZipExtract, LocalHeadersAreCheckedAgainstTheCentralRecord) {
    TZipBuilder b;
    // A local name longer than the central one moves the data start.
    b.Add({.name = "n.txt", .data = "names", .localName = std::string("n.txt-longer-local-name")});
    b.Add({.name = "x.txt", .data = "extra", .method = 8, .localExtra = std::string(40, 'e')});
    // No local header there, or one that tells of another entry.
    b.Add({.name = "sig.txt", .data = "signature", .method = 8, .localSignature = 0x12345678});
    b.Add({.name = "crc.txt", .data = "crc"});
    // Unknown method, old version: not decodable.
    b.Add({.name = "m6.txt", .data = "imploded", .method = 6, .versionNeeded = 10});
    std::string bytes = b.Build();
    // The central CRC of crc.txt differs from its local one.
    size_t central = bytes.find(std::string("PK\x01\x02", 4));
    for (int i = 0; i < 3; ++i)
        central = bytes.find(std::string("PK\x01\x02", 4), central + 4);
    bytes[central + 16] ^= 0x01;
    Write("q.zip", bytes);
    // A local name length that runs past the end of the archive.
    TZipBuilder last;
    last.Add({.name = "ok.txt", .data = "ok"});
    last.Add({.name = "long.txt", .data = "z"});
    std::string tail = last.Build();
    tail[last.headerOffsets[1] + 26] = '\xFF';
    tail[last.headerOffsets[1] + 27] = '\xFF';
    Write("tail.zip", tail);
    RecordFailures();
    Open("q.zip");
    ExtractAll();
    EXPECT_EQ(Read("n.txt"), "names");
    EXPECT_EQ(Read("x.txt"), "extra");
    ASSERT_EQ(failures.size(), 3u);
    for (const auto& f : failures)
        EXPECT_EQ(f.first, 8);
    EXPECT_FALSE(Exists("sig.txt"));
    EXPECT_FALSE(Exists("crc.txt"));
    EXPECT_FALSE(Exists("m6.txt"));
    failures.clear();
    Open("tail.zip");
    ExtractAll();
    EXPECT_EQ(Read("ok.txt"), "ok");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, 8);
    EXPECT_FALSE(Exists("long.txt"));
}

TEST_F(ZipExtract, CutOffEntryOfATruncatedDownload) {
    TZipBuilder b;
    // The rebuild takes a header only when its compressed size is below
    // the file's size, so the first entry is the larger one.
    b.Add({.name = "ok.txt", .data = am::RandomBytes(200000, 17)});
    b.Add({.name = "cut.bin", .data = am::RandomBytes(100000, 10), .method = 8});
    std::string bytes = b.Build();
    Write("parcial.zip", bytes.substr(0, b.headerOffsets[1] + 5000));
    RecordFailures();
    Open("parcial.zip");
    ASSERT_EQ(Names(), (std::vector<std::string>{"ok.txt", "cut.bin"}));
    ExtractAll();
    EXPECT_EQ(Read("ok.txt"), am::RandomBytes(200000, 17));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, 8);
    EXPECT_FALSE(Exists("cut.bin"));
}

TEST_F(ZipExtract, UnsafeNamesAreRefusedAndTheRestExtracted) {
    TZipBuilder b;
    for (const char* name : {"../fora.txt", "/abs.txt", "C:\\drive.txt", "sub\\..\\..\\up.txt", "a//b.txt",
                             "\\\\srv\\share\\u.txt"})
        b.Add({.name = name, .data = "evil"});
    b.Add({.name = "sub/ok.txt", .data = "good"});
    Write("mau.zip", b.Build());
    std::filesystem::create_directory(P("destino"));
    zip.SetBaseDir(P("destino"));
    RecordFailures();
    Open("mau.zip");
    ExtractAll();
    ASSERT_EQ(failures.size(), 6u);
    for (const auto& [code, message] : failures) {
        EXPECT_EQ(code, 19);
        EXPECT_NE(message.find("Cannot create file"), std::string::npos);
    }
    EXPECT_EQ(failures[0].second, "ZipArchiver: Cannot create file \"..\\fora.txt\" - Native error: 00019");
    EXPECT_EQ(Read("destino/sub/ok.txt"), "good");
    // Nothing was written anywhere else.
    std::vector<std::string> everything;
    for (const auto& e : std::filesystem::recursive_directory_iterator(tmp.Path()))
        everything.push_back(std::filesystem::relative(e.path(), tmp.Path()).string());
    std::sort(everything.begin(), everything.end());
    EXPECT_EQ(everything,
              (std::vector<std::string>{"destino", "destino/sub", "destino/sub/ok.txt", "mau.zip"}));
}

TEST_F(ZipExtract, MasksAndSearchAttributes) {
    TZipBuilder b;
    b.Add({.name = "A.TXT", .data = "1"});
    b.Add({.name = "b.doc", .data = "2"});
    b.Add({.name = "LEIAME", .data = "3"});
    b.Add({.name = "sub/a2.txt", .data = "4"});
    b.Add({.name = "oculto.txt", .data = "5", .externalAttributes = 0x22});
    Write("m.zip", b.Build());
    Open("m.zip");
    auto extracted = [&](const std::string& mask, int32_t attr) {
        std::filesystem::remove_all(P("o"));
        zip.SetBaseDir(P("o"));
        zip.ExtractByMask(mask, attr, "");
        std::vector<std::string> names;
        if (std::filesystem::exists(P("o")))
            for (const auto& e : std::filesystem::recursive_directory_iterator(P("o")))
                if (e.is_regular_file())
                    names.push_back(std::filesystem::relative(e.path(), P("o")).string());
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ(extracted("*.*", 0x28BF),
              (std::vector<std::string>{"A.TXT", "LEIAME", "b.doc", "oculto.txt", "sub/a2.txt"}));
    EXPECT_EQ(extracted("a*.txt", 0x28BF), (std::vector<std::string>{"A.TXT", "sub/a2.txt"}));
    EXPECT_EQ(extracted("*.", 0x28BF), std::vector<std::string>{"LEIAME"});
    EXPECT_EQ(extracted("*.txt", 0x3D), (std::vector<std::string>{"A.TXT", "sub/a2.txt"}));
    EXPECT_EQ(extracted("C:*.doc", 0x28BF), std::vector<std::string>{"b.doc"}); // drive dropped
    zip.Options().Recurse = false;
    EXPECT_EQ(extracted("sub\\*.txt", 0x28BF), std::vector<std::string>{"sub/a2.txt"});
}

TEST_F(ZipExtract, FoldersAndCreateDirs) {
    TZipBuilder b;
    b.Add({.name = "vazia/", .data = "", .externalAttributes = 0x10});
    b.Add({.name = "marcada", .data = "", .externalAttributes = 0x10});
    b.Add({.name = "sub/dir/f.txt", .data = "f"});
    Write("p.zip", b.Build());
    Open("p.zip");
    ExtractAll();
    EXPECT_TRUE(std::filesystem::is_directory(P("vazia")));
    EXPECT_TRUE(std::filesystem::is_directory(P("marcada")) || !Exists("marcada"));
    EXPECT_EQ(Read("sub/dir/f.txt"), "f");
    zip.Options().CreateDirs = false;
    zip.SetBaseDir(P("plano"));
    std::filesystem::create_directory(P("plano"));
    ExtractAll();
    EXPECT_EQ(Read("plano/f.txt"), "f");
    EXPECT_FALSE(Exists("plano/sub"));
}

TEST_F(ZipExtract, OverwriteModesAndReadOnlyTargets) {
    TZipBuilder b;
    b.Add({.name = "f.txt", .data = "novo"}); // 2025-01-01 12:00:00
    Write("o.zip", b.Build());
    Open("o.zip");
    auto run = [&](TZAOverwriteMode mode, int32_t existingTime) {
        Write("f.txt", "velho");
        ASSERT_TRUE(FileSetDate(P("f.txt"), existingTime));
        zip.Options().OverwriteMode = mode;
        ExtractAll();
    };
    const int32_t same = 0x5A216000, older = 0x599F6000, newer = 0x5A226000;
    run(omNever, older);
    EXPECT_EQ(Read("f.txt"), "velho");
    run(omIfNewer, same);
    EXPECT_EQ(Read("f.txt"), "velho");
    run(omIfOlder, same);
    EXPECT_EQ(Read("f.txt"), "velho");
    run(omIfNewer, older);
    EXPECT_EQ(Read("f.txt"), "novo");
    run(omIfOlder, newer);
    EXPECT_EQ(Read("f.txt"), "novo");
    EXPECT_EQ(FileGetDate(P("f.txt")), same);

    // Dates from 2044 on set the top bit of the packed time: still newer.
    TZipBuilder later;
    later.Add({.name = "f.txt", .data = "2050", .date = 0x8C21}); // 2050-01-01
    Write("o2050.zip", later.Build());
    Open("o2050.zip");
    run(omIfNewer, same);
    EXPECT_EQ(Read("f.txt"), "2050");
    run(omIfOlder, same);
    EXPECT_EQ(Read("f.txt"), "velho");
    Open("o.zip");

    // The default question: yes, no, and yes to all for the rest.
    TestDialogs().answers = {mrNo, mrYes, mrYesToAll};
    run(omPrompt, older);
    EXPECT_EQ(Read("f.txt"), "velho");
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    EXPECT_EQ(TestDialogs().shown[0].request.text,
              "Overwrite file \"" + IncludeTrailingBackslash(tmp.Path()) + "f.txt\" with \"f.txt\"");
    EXPECT_EQ(TestDialogs().shown[0].request.buttons[1].caption, "&N\xE3o");
    run(omPrompt, older);
    EXPECT_EQ(Read("f.txt"), "novo");
    run(omPrompt, older);
    EXPECT_EQ(zip.Options().OverwriteMode, omAlways);

    // Read-only targets: replaced only with ReplaceReadOnly.
    zip.Options().OverwriteMode = omAlways;
    Write("f.txt", "protegido");
    ASSERT_TRUE(FileSetAttr(P("f.txt"), faReadOnly));
    zip.Options().ReplaceReadOnly = false;
    ExtractAll();
    EXPECT_EQ(Read("f.txt"), "protegido");
    zip.Options().ReplaceReadOnly = true;
    ExtractAll();
    EXPECT_EQ(Read("f.txt"), "novo");
    EXPECT_EQ(FileGetAttr(P("f.txt")) & faReadOnly, 0u);
}

TEST_F(ZipExtract, ReplacedFileTakesTheEntryNameCase) {
    TZipBuilder b;
    b.Add({.name = "VENDARIX.EXE", .data = "nova versao"});
    Write("v.zip", b.Build());
    Write("Vendarix.exe", "antiga");
    Open("v.zip");
    ExtractAll();
    EXPECT_EQ(Read("VENDARIX.EXE"), "nova versao");
    EXPECT_FALSE(Exists("Vendarix.exe"));
    // The existing file is found whatever its letter case.
    std::filesystem::rename(P("VENDARIX.EXE"), P("vendarix.exe"));
    zip.Options().OverwriteMode = omNever;
    ExtractAll();
    EXPECT_EQ(Read("vendarix.exe"), "nova versao");
    EXPECT_FALSE(Exists("VENDARIX.EXE"));
}

// Whether a password passes the one-byte check of any entry: a wrong one
// does, by chance, once in 256 random encryption headers.
bool passesACheck(const std::string& zip, const std::string& password) {
    auto u16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<uint8_t>(zip[at])) |
               static_cast<unsigned>(static_cast<uint8_t>(zip[at + 1])) << 8;
    };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    const size_t end = zip.size() - 22; // no archive comment
    size_t at = u32(end + 16);
    for (unsigned n = u16(end + 10); n > 0; --n) {
        const size_t local = u32(at + 42);
        const size_t data = local + 30 + u16(local + 26) + u16(local + 28);
        uint8_t h[12];
        std::memcpy(h, zip.data() + data, sizeof h);
        TZACryptKeys keys;
        keys.Init(password);
        keys.Decrypt(h, sizeof h);
        const uint8_t check = (u16(at + 8) & 8) ? static_cast<uint8_t>(u16(at + 12) >> 8)
                                                : static_cast<uint8_t>(u32(at + 16) >> 24);
        if (h[11] == check)
            return true;
        at += 46 + u16(at + 28) + u16(at + 30) + u16(at + 32);
    }
    return false;
}

TEST_F(ZipExtract, EncryptedEntries) {
    am::WriteTree(tmp.Path() + "/src", {{"s.txt", am::TextBytes(30000, 11)}, {"t.txt", "tt"}});
    // The empty and the wrong password must fail their checks for the
    // prompts below to hold.
    do {
        std::filesystem::remove(P("cripto.zip"));
        am::MakeWithZip(tmp.Path() + "/src", P("cripto.zip"), {"s.txt", "t.txt"}, {"-P", "segredo"});
    } while (passesACheck(Read("cripto.zip"), "errada") || passesACheck(Read("cripto.zip"), ""));
    ASSERT_TRUE(passesACheck(Read("cripto.zip"), "segredo"));
    Open("cripto.zip");
    // The password is asked for once, then kept for the next entry.
    TestDialogs().inputs = {"errada", "segredo"};
    ExtractAll();
    EXPECT_EQ(Read("s.txt"), am::TextBytes(30000, 11));
    EXPECT_EQ(Read("t.txt"), "tt");
    EXPECT_EQ(TestDialogs().prompts, (std::vector<std::string>{"Enter password: ", "Enter password: "}));
    EXPECT_EQ(zip.Password(), "segredo");
    // A refused prompt skips the entry without an error.
    std::filesystem::remove(P("s.txt"));
    std::filesystem::remove(P("t.txt"));
    zip.SetPassword("");
    TestDialogs().Reset();
    ExtractAll();
    EXPECT_FALSE(Exists("s.txt"));
    EXPECT_FALSE(Exists("t.txt"));
    EXPECT_TRUE(TestDialogs().shown.empty());
}

TEST_F(ZipExtract, CancelFromAProgressHandler) {
    TZipBuilder b;
    b.Add({.name = "grande.bin", .data = am::RandomBytes(4 * 1048576, 12), .method = 8});
    b.Add({.name = "depois.txt", .data = "x"});
    Write("c.zip", b.Build());
    std::vector<std::pair<TZAProgressPhase, double>> overall;
    zip.OnOverallProgress = [&](TObject*, double progress, TZAProcessOperation op, TZAProgressPhase phase,
                                bool& cancel) {
        EXPECT_EQ(op, poExtract);
        overall.emplace_back(phase, progress);
        cancel = false;
    };
    int chunks = 0;
    zip.OnFileProgress = [&](TObject*, const std::string&, double, TZAProcessOperation,
                             TZAProgressPhase phase, bool& cancel) {
        if (phase == ppProcess && ++chunks == 2)
            cancel = true;
    };
    Open("c.zip");
    ExtractAll();
    EXPECT_TRUE(TestDialogs().shown.empty());
    EXPECT_FALSE(Exists("grande.bin"));
    EXPECT_FALSE(Exists("depois.txt"));
    EXPECT_TRUE(zip.CancelRequested());
    ASSERT_GE(overall.size(), 2u);
    EXPECT_EQ(overall.front(), std::make_pair(ppStart, 0.0));
    EXPECT_EQ(overall.back(), std::make_pair(ppEnd, 100.0));
}

// A run killed at any moment of the extraction leaves each file either as it
// was or whole under its entry's name, and nothing but its own temporaries
// beside them. The extraction runs in a child that kills itself at the n-th
// progress event, for every n until the pass gets through.
TEST_F(ZipExtract, KillAtAnyMomentLeavesOldOrWholeFiles) {
    const std::string newProgram = am::TextBytes(3 * 1048576 + 77, 21); // several chunks
    const std::string newData = am::RandomBytes(1200000, 22);
    TZipBuilder b;
    b.Add({.name = "VENDARIX.EXE", .data = newProgram, .method = 8});
    b.Add({.name = "dados/novo.dat", .data = newData});
    b.Add({.name = "leia.txt", .data = "leia-me", .method = 8});
    Write("v.zip", b.Build());
    const std::string oldProgram = "programa antigo";
    int kills = 0;
    for (int n = 1; n < 200; ++n) {
        std::filesystem::remove_all(P("dados"));
        std::filesystem::remove(P("leia.txt"));
        std::filesystem::remove(P("VENDARIX.EXE"));
        Write("Vendarix.exe", oldProgram);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int events = 0;
            auto count = [&]() {
                if (++events == n)
                    raise(SIGKILL);
            };
            zip.OnFileProgress = [&](TObject*, const std::string&, double, TZAProcessOperation,
                                     TZAProgressPhase, bool&) { count(); };
            zip.OnOverallProgress = [&](TObject*, double, TZAProcessOperation, TZAProgressPhase, bool&) {
                count();
            };
            zip.SetFileName("v.zip");
            zip.OpenArchive();
            ExtractAll();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        ASSERT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
        // One program, in either letter case, old or new and whole.
        std::vector<std::string> programs;
        for (const auto& e : std::filesystem::directory_iterator(tmp.Path())) {
            std::string name = e.path().filename().string();
            if (za::IsExtractionTemporaryName(name)) {
                EXPECT_TRUE(killed) << name;
                std::filesystem::remove(e.path());
            } else if (name == "Vendarix.exe" || name == "VENDARIX.EXE") {
                programs.push_back(am::ReadFileBytes(e.path().string()));
            }
        }
        // Between the rename and the removal of the old spelling both are
        // there, each whole.
        ASSERT_GE(programs.size(), 1u) << "kill at event " << n;
        for (const std::string& program : programs)
            EXPECT_TRUE(program == oldProgram || program == newProgram) << "kill at event " << n;
        if (Exists("dados/novo.dat")) {
            EXPECT_EQ(Read("dados/novo.dat"), newData) << "kill at event " << n;
        }
        if (Exists("dados"))
            for (const auto& e : std::filesystem::directory_iterator(P("dados")))
                if (za::IsExtractionTemporaryName(e.path().filename().string()))
                    std::filesystem::remove(e.path());
        if (Exists("leia.txt")) {
            EXPECT_EQ(Read("leia.txt"), "leia-me");
        }
        if (!killed) {
            EXPECT_EQ(programs[0], newProgram);
            EXPECT_EQ(Read("dados/novo.dat"), newData);
            break;
        }
        ++kills;
    }
    // Start, chunks of each entry and the ends: a good many moments.
    EXPECT_GE(kills, 10);
}

// A "\" in the working folder's Linux name is part of the name, not a
// separator: everything goes into that folder and nowhere else.
TEST_F(ZipExtract, WorkingFolderWithABackslash) {
    TZipBuilder b;
    b.Add({.name = "a.txt", .data = "aqui"});
    b.Add({.name = "sub/b.txt", .data = "sub"});
    Write("b.zip", b.Build());
    const std::string odd = P("sh\\op");
    std::filesystem::create_directories(odd);
    std::filesystem::create_directories(P("sh/op"));
    ASSERT_EQ(chdir(odd.c_str()), 0);
    zip.SetFileName(P("b.zip"));
    zip.OpenArchive();
    ExtractAll();
    ASSERT_EQ(chdir(tmp.Path().c_str()), 0);
    EXPECT_TRUE(TestDialogs().shown.empty());
    EXPECT_EQ(Read("sh\\op/a.txt"), "aqui");
    EXPECT_EQ(Read("sh\\op/sub/b.txt"), "sub");
    EXPECT_TRUE(std::filesystem::is_empty(P("sh/op")));
}

// A name longer than the component holds, or cut by a NUL, is another
// name: refused, never written under the shorter one.
TEST_F(ZipExtract, NamesThatDoNotFitAreRefused) {
    TZipBuilder b;
    b.Add({.name = std::string(100, 'd') + "/" + std::string(200, 'f') + ".txt", .data = "longo"});
    b.Add({.name = std::string(255, 'p') + "/resto.txt", .data = "cortado na barra"});
    b.Add({.name = std::string("nul\0.exe", 8), .data = "nul"});
    b.Add({.name = "bom.txt", .data = "bom"});
    Write("nomes.zip", b.Build());
    RecordFailures();
    Open("nomes.zip");
    ExtractAll();
    ASSERT_EQ(failures.size(), 3u);
    for (const auto& f : failures)
        EXPECT_EQ(f.first, 19);
    EXPECT_EQ(Read("bom.txt"), "bom");
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(tmp.Path()))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"bom.txt", "nomes.zip"}));
}

// A truncated archive whose cut-off entry is larger than what is left: the
// entries before it are extracted and it goes to the failure box.
TEST_F(ZipExtract, CutOffEntryLargerThanWhatIsLeft) {
    TZipBuilder b;
    b.Add({.name = "antes.txt", .data = "completo"});
    b.Add({.name = "VENDARIX.EXE", .data = am::RandomBytes(300000, 33)});
    std::string bytes = b.Build();
    Write("cortado.zip", bytes.substr(0, b.headerOffsets[1] + 4000));
    RecordFailures();
    Open("cortado.zip");
    ASSERT_EQ(Names(), (std::vector<std::string>{"antes.txt", "VENDARIX.EXE"}));
    ExtractAll();
    EXPECT_EQ(Read("antes.txt"), "completo");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, 8);
    EXPECT_FALSE(Exists("VENDARIX.EXE"));
}

// Kept corrupted output is kept as written, also past the declared size.
TEST_F(ZipExtract, CorruptedOutputLongerThanDeclaredIsKeptWhole) {
    const std::string text = am::TextBytes(700000, 34);
    TZipBuilder b;
    b.Add({.name = "curto.txt", .data = text, .method = 8, .uncompressedSize = 1000});
    b.Add({.name = "guardado.txt", .data = "0123456789", .uncompressedSize = 4});
    Write("longo.zip", b.Build());
    zip.SetExtractCorruptedFiles(true);
    Open("longo.zip");
    ExtractAll();
    EXPECT_TRUE(TestDialogs().shown.empty());
    EXPECT_EQ(Read("curto.txt"), text);
    EXPECT_EQ(Read("guardado.txt"), "0123456789");
    // Without the setting, neither is kept.
    zip.SetExtractCorruptedFiles(false);
    std::filesystem::remove(P("curto.txt"));
    std::filesystem::remove(P("guardado.txt"));
    RecordFailures();
    ExtractAll();
    EXPECT_EQ(failures.size(), 2u);
    EXPECT_FALSE(Exists("curto.txt"));
    EXPECT_FALSE(Exists("guardado.txt"));
}

// Names that differ in the archive but meet on disk: the second entry is
// refused instead of replacing the first without a word.
TEST_F(ZipExtract, TwoEntriesForOneTargetInOnePass) {
    TZipBuilder b;
    b.Add({.name = "jp-\xE6\x97\xA5\xE6\x9C\xAC.txt", .data = "primeiro", .flags = 0x800});
    b.Add({.name = "jp-\xE6\x9C\xAC\xE6\x97\xA5.txt", .data = "segundo", .flags = 0x800});
    b.Add({.name = "Leia.txt", .data = "leia"});
    b.Add({.name = "LEIA.TXT", .data = "LEIA"});
    Write("jp.zip", b.Build());
    RecordFailures();
    Open("jp.zip");
    ASSERT_EQ(Item(0).Name, "jp-__.txt");
    ExtractAll();
    EXPECT_EQ(Read("jp-__.txt"), "primeiro");
    EXPECT_EQ(Read("Leia.txt"), "leia");
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].first, 19);
    EXPECT_EQ(failures[1].first, 19);
    // A later pass replaces them as usual.
    failures.clear();
    ExtractAll();
    EXPECT_EQ(failures.size(), 2u);
}

// Permission bits from an archive pass through the umask, and never give
// set-id, sticky or other-writable files.
TEST_F(ZipExtract, PermissionBitsPassThroughTheUmask) {
    am::WriteTree(tmp.Path() + "/src", {{"suid.sh", "#!/bin/sh\n"}, {"run.sh", "#!/bin/sh\n"}});
    chmod((tmp.Path() + "/src/suid.sh").c_str(), 07777);
    chmod((tmp.Path() + "/src/run.sh").c_str(), 0775);
    am::MakeWithZip(tmp.Path() + "/src", P("modos.zip"), {"suid.sh", "run.sh"});
    mode_t old = umask(027);
    Open("modos.zip");
    ExtractAll();
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(P("suid.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    ASSERT_EQ(stat(P("run.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
}

// Symbolic links already in the folder are not followed out of it, where
// an entry's folder or file goes; links that stay inside are.
TEST_F(ZipExtract, LinksInTheFolderAreNotFollowedOutside) {
    std::filesystem::create_directories(P("loja/real"));
    std::filesystem::create_directories(P("fora"));
    Write("fora/alvo.txt", "intocado");
    std::filesystem::create_directory_symlink("../fora", P("loja/sub"));
    std::filesystem::create_symlink("../fora/alvo.txt", P("loja/prog.exe"));
    std::filesystem::create_symlink("../fora/nada.txt", P("loja/solto.txt"));
    std::filesystem::create_directory_symlink("real", P("loja/dentro"));
    TZipBuilder b;
    b.Add({.name = "sub/x.txt", .data = "x"});
    b.Add({.name = "sub/novo/y.txt", .data = "y"});
    b.Add({.name = "prog.exe", .data = "programa"});
    b.Add({.name = "solto.txt", .data = "solto"});
    b.Add({.name = "dentro/z.txt", .data = "z"});
    Write("links.zip", b.Build());
    RecordFailures();
    Open("links.zip");
    zip.SetBaseDir(P("loja"));
    ExtractAll();
    ASSERT_EQ(failures.size(), 4u);
    for (const auto& f : failures)
        EXPECT_EQ(f.first, 19);
    EXPECT_EQ(Read("fora/alvo.txt"), "intocado");
    EXPECT_FALSE(Exists("fora/x.txt"));
    EXPECT_FALSE(Exists("fora/novo"));
    EXPECT_FALSE(Exists("fora/nada.txt"));
    EXPECT_EQ(Read("loja/real/z.txt"), "z");
}

// Names shown in the boxes (on standard error when unattended) cannot carry
// terminal control sequences.
TEST_F(ZipExtract, ControlCharactersInShownNamesAreReplaced) {
    TZipBuilder b;
    b.Add({.name = "../\x1B]0;titulo\x07\x9D.txt", .data = "x"});
    b.Add({.name = "a\x1B[2Jb.txt", .data = "y"});
    Write("esc.zip", b.Build());
    Write("a\x1B[2Jb.txt", "existente");
    zip.Options().OverwriteMode = omPrompt;
    TestDialogs().answers = {mrIgnore, mrNo};
    Open("esc.zip");
    ExtractAll();
    ASSERT_EQ(TestDialogs().shown.size(), 2u);
    for (const auto& text : TestDialogs().Texts()) {
        EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
        EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
        EXPECT_EQ(text.find('\x9D'), std::string::npos) << text;
    }
    EXPECT_NE(TestDialogs().Texts()[0].find("..\\?]0;titulo?"), std::string::npos)
        << TestDialogs().Texts()[0];
}

// The run protects its backup: no entry may replace it, however spelled.
TEST_F(ZipExtract, ProtectedNamesAreNotReplaced) {
    Write("Vendarix.bkp", "copia de seguranca");
    TZipBuilder b;
    b.Add({.name = "VENDARIX.BKP", .data = "trocado"});
    b.Add({.name = "./Vendarix.bkp", .data = "trocado"});
    b.Add({.name = "sub/Vendarix.bkp", .data = "outra pasta"});
    b.Add({.name = "Vendarix.exe", .data = "novo"});
    Write("p.zip", b.Build());
    zip.SetProtectedNames({"Vendarix.bkp"});
    RecordFailures();
    Open("p.zip");
    ExtractAll();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].first, 19);
    EXPECT_EQ(failures[1].first, 19);
    EXPECT_EQ(Read("Vendarix.bkp"), "copia de seguranca");
    EXPECT_EQ(Read("sub/Vendarix.bkp"), "outra pasta");
    EXPECT_EQ(Read("Vendarix.exe"), "novo");
}

} // namespace
