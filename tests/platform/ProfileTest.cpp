#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Profile.h"
#include "platform/Text.h"

using namespace vx::platform;

namespace fs = std::filesystem;

namespace {
std::string writeIni(const std::string& content) {
    static int n = 0;
    fs::path p =
        fs::temp_directory_path() / ("vxini-" + std::to_string(getpid()) + "-" + std::to_string(n++));
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}
} // namespace

TEST(Profile, WindowsRules) {
    std::string p = writeIni("; comment\r\n[Other]\r\nTipo=No\r\n[bdados]\r\n  tipo =  Interbase  \r\n"
                             "Tipo=Second\r\nCaminho=\"C:\\Sistemas\\Dados\"\r\nSenhaBD=\r\n[BDados]\r\n"
                             "SistemaVendarix=Late\r\n");
    EXPECT_EQ(GetPrivateProfileString("BDados", "Tipo", "Standard", p), "Interbase"); // first match wins
    EXPECT_EQ(GetPrivateProfileString("BDADOS", "caminho", "", p), "C:\\Sistemas\\Dados");
    EXPECT_EQ(GetPrivateProfileString("BDados", "SenhaBD", "N", p), ""); // empty, not the default
    EXPECT_EQ(GetPrivateProfileString("BDados", "Missing", "def", p), "def");
    EXPECT_EQ(GetPrivateProfileString("Nope", "Tipo", "def", p), "def");
    EXPECT_EQ(GetPrivateProfileString("BDados", "Tipo", "def", p + ".absent"), "def");
    fs::remove(p);
}

TEST(Profile, ReadsCp1252AndUtf8Files) {
    std::string ansi = writeIni("[BDados]\nSenhaBD=N\xe3o\n");
    std::string utf8 = writeIni("\xEF\xBB\xBF[BDados]\nSenhaBD=N\xc3\xa3o\n");
    EXPECT_EQ(GetPrivateProfileString("BDados", "SenhaBD", "", ansi), "N\xe3o");
    EXPECT_EQ(GetPrivateProfileString("BDados", "SenhaBD", "", utf8), "N\xe3o");
    fs::remove(ansi);
    fs::remove(utf8);
}

TEST(Profile, LongValuesAreCut) {
    std::string p = writeIni("[S]\nK=" + std::string(3000, 'x') + "\n");
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", p).size(), 2047u);
    fs::remove(p);
}
