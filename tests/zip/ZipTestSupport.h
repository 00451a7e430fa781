// Shared fixture of the archive tests: a fresh working folder, the
// updater's component ("ZipArchiver" with the stored layout), and helpers
// to list what an archive opened as.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ArchiveMaker.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDialogs.h"
#include "zip/ZipArchiver.h"

namespace vx::test {

using namespace vx::zip;

class ZipFixture : public ::testing::Test {
protected:
    ZipFixture() : tmp(true) {
        zip.SetName("ZipArchiver");
        // The stored layout of the updater's window.
        zip.SetExtractCorruptedFiles(false);
        zip.SetCompressionLevel(clFastest);
        zip.SetSpanningMode(smNone);
        zip.SpanningOptions().AdvancedNaming = true;
        zip.SpanningOptions().VolumeSize = vsAutoDetect;
        zip.Options().FlushBuffers = true;
        zip.Options().OEMFileNames = true;
        zip.SetInMemory(false);
        zip.SetZip64Mode(zmDisabled);
        TestDialogs().Reset();
    }
    ~ZipFixture() override { zip.CloseArchive(); }

    std::string P(const std::string& name) const { return tmp / name; }
    void Write(const std::string& name, const std::string& bytes) const {
        am::WriteFileBytes(P(name), bytes);
    }
    std::string Read(const std::string& name) const { return am::ReadFileBytes(P(name)); }
    bool Exists(const std::string& name) const { return std::filesystem::exists(P(name)); }

    void Open(const std::string& name) {
        zip.SetFileName(name);
        zip.OpenArchive();
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (int32_t i = 0; i < zip.Directory()->Items.Count(); ++i)
            names.push_back(zip.Directory()->Items.Item(i).Name);
        return names;
    }
    const TDirItem& Item(int32_t i) const { return zip.Directory()->Items.Item(i); }
    // Extracts everything as the updater does.
    void ExtractAll() { zip.ExtractByMask("*.*", 0x28BF, ""); }

    TTempFolder tmp;
    TZipArchiver zip;
};

} // namespace vx::test
