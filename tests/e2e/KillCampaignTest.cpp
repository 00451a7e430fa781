// The shipped updater killed with SIGKILL, as a power cut or a user with the
// task manager would, at moments spread over a whole run and at moments
// inside the extraction of a large program file; each killed run is followed
// by a normal one against the same server. After every pair the shop must
// hold the new program, whole and started, no temporary of the updater's
// may be left anywhere in its folder, and its tables must read with the
// schema's fields. The killed run alone must already leave a program or its
// backup, whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>

#include "tests/e2e/Shop.h"
#include "tests/support/FtpServers.h"
#include "tests/support/RequireOrSkip.h"

using namespace vx::test;

namespace fs = std::filesystem;
using namespace e2e;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSpreadKills = 50;  // over the whole run
constexpr int kAimedKills = 25;   // inside the extraction of VENDARIX.EXE
constexpr int kSpreadBatches = 5; // one test each, so that each stays short
constexpr int kAimedBatches = 5;
// Large enough that its extraction takes a while, small once deflated.
constexpr size_t kProgramPadding = 64u << 20;
constexpr int kBytesPerSecond = 1 << 20;

bool isTemporary(const std::string& name) {
    return name.rfind("~vx", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp";
}

// Names below the shop folder (relative) that are temporaries of the updater.
Strings temporariesIn(const std::string& dir) {
    Strings found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (isTemporary(it->path().filename().string()))
            found.push_back(fs::relative(it->path(), dir).string());
    return found;
}

bool hasTemporary(const std::string& dir) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (isTemporary(it->path().filename().string()))
            return true;
    return false;
}

// The files of the shop folder itself whose name is the program's in any
// letter case.
Strings programsIn(const std::string& dir, const std::string& lowerName) {
    Strings found;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string n = e.path().filename().string(), l = n;
        for (char& c : l)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (l == lowerName)
            found.push_back(n);
    }
    return found;
}

struct Figures {
    int kills = 0;       // runs actually killed
    int setAside = 0;    // killed runs that left the program only as its backup
    int leftTemps = 0;   // killed runs that left temporaries behind
    int lost = 0;        // pairs after which the program was not the new one, whole and started
    int missed = 0;      // runs that ended before their moment came
    double killedAt = 0; // sum of the kill moments, for the report
};

struct Batch {
    bool aimed;
    int index;
};

class KillCampaign : public ::testing::TestWithParam<Batch> {
protected:
    void SetUp() override {
        shop_ = std::make_unique<Shop>(TFtpServer::ScratchRoot());
        shop_->MakeStandardShop();
        pristine_ = shop_->Base() + "/pristine";
        fs::copy(shop_->Dir(), pristine_, fs::copy_options::recursive);
        oldProgram_ = DigestOfFile(shop_->Path("Vendarix.exe"));

        const std::string src = shop_->Base() + "/program";
        // The script ends before its padding, so the program still starts.
        std::string program = ProgramScript("new") + "exit 0\n";
        program.resize(program.size() + kProgramPadding, '\0');
        WriteFile(src + "/VENDARIX.EXE", program, true);
        newProgram_ = DigestOfBytes(program);
        program.clear();
        // Incompressible, so that the download takes its share of the run.
        std::string report(384 * 1024, '\0');
        uint32_t x = 2463534242u;
        for (char& c : report) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            c = static_cast<char>(x);
        }
        WriteFile(src + "/Relatorios/Vendas.rpt", report);
        ASSERT_EQ(
            Zip(src, {"-q", "-r", "-X", shop_->Download() + "/Vendarix.zip", "VENDARIX.EXE", "Relatorios"}),
            0);
        fs::remove_all(src);
        shop_->MakeSchemaArchive(Shop::DefaultSchema());

        server_ = std::make_unique<ThrottledServer>(shop_->Maker(), kBytesPerSecond);
        if (!server_->Port())
            return RequireOrSkip(server_->Why());
    }

    void TearDown() override {
        server_.reset();
        shop_.reset();
    }

    void resetShop() {
        for (const auto& e : fs::directory_iterator(shop_->Dir()))
            fs::remove_all(e.path());
        fs::copy(pristine_, shop_->Dir(), fs::copy_options::recursive);
    }

    RunResult run(const RunControl& control = {}) {
        return shop_->Run(server_->Port(), {{"UPDATER_FTP_TIMEOUT", "5000"}}, control);
    }

    // A normal run from the pristine shop that also times the run and the
    // extraction of the program file (first temporary seen to the file under
    // its name).
    void calibrate() {
        resetShop();
        const std::string dir = shop_->Dir();
        std::optional<Clock::time_point> tempSeen, programSeen;
        const auto start = Clock::now();
        RunControl control;
        control.whileRunning = [&](pid_t) {
            if (!tempSeen && hasTemporary(dir))
                tempSeen = Clock::now();
            if (tempSeen && !programSeen && fs::exists(dir + "/VENDARIX.EXE"))
                programSeen = Clock::now();
        };
        RunResult r = run(control);
        ASSERT_EQ(r.status, 0) << r.stderrText;
        runSeconds_ = r.seconds;
        ASSERT_TRUE(tempSeen && programSeen) << "the extraction was not seen";
        extractStart_ = std::chrono::duration<double>(*tempSeen - start).count();
        extractSeconds_ = std::chrono::duration<double>(*programSeen - *tempSeen).count();
        std::cout << "[ calibrate] run " << runSeconds_ << " s, extraction of VENDARIX.EXE from "
                  << extractStart_ << " s for " << extractSeconds_ << " s\n";
        checkAfterNormalRun(r);
    }

    // Size of the temporary VENDARIX.EXE is decoded into, when one is there.
    std::optional<uintmax_t> temporarySize(const std::string& dir) {
        std::error_code ec;
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            if (isTemporary(it->path().filename().string())) {
                const uintmax_t n = fs::file_size(it->path(), ec);
                return ec ? 0 : n;
            }
        return std::nullopt;
    }

    // Spread over the run: kills the updater `at` seconds after its start.
    // Aimed at the extraction: kills it once the temporary of VENDARIX.EXE
    // holds the share `at` of the file, which does not depend on how fast
    // this machine is today; or, when the file was renamed into place before
    // a look caught that share, right after.
    void killAndRecover(bool aimed, double at) {
        resetShop();
        const std::string dir = shop_->Dir();
        bool killed = false;
        const auto start = Clock::now();
        const double target = at * static_cast<double>(newProgram_.size);
        RunControl control;
        control.whileRunning = [&](pid_t pid) {
            if (killed)
                return;
            bool now = false;
            if (!aimed) {
                now = std::chrono::duration<double>(Clock::now() - start).count() >= at;
            } else if (const auto size = temporarySize(dir)) {
                now = static_cast<double>(*size) >= target;
            } else {
                now = fs::exists(dir + "/VENDARIX.EXE");
            }
            if (now) {
                ::kill(pid, SIGKILL);
                killed = true;
            }
        };
        RunResult killedRun = run(control);
        if (!killed) {
            // The run was quicker than the one that was timed: this moment
            // fell after its end. Counted, and the pair still checked.
            ++figures_.missed;
            checkAfterNormalRun(killedRun);
            return;
        }
        ++figures_.kills;
        figures_.killedAt += at;

        // What the kill left: a whole program under its name, or the whole
        // old one set aside as the backup.
        const Strings programs = programsIn(dir, "vendarix.exe");
        if (programs.empty()) {
            ++figures_.setAside;
            EXPECT_EQ(DigestOfFile(shop_->Path("Vendarix.bkp")), oldProgram_)
                << "killed at " << at << " s: no program and no whole backup";
        } else {
            ASSERT_EQ(programs.size(), 1u);
            const Digest d = DigestOfFile(shop_->Path(programs[0]));
            EXPECT_TRUE(d == oldProgram_ || d == newProgram_)
                << "killed at " << at << " s: " << programs[0] << " of " << d.size
                << " bytes is neither program";
        }
        if (!temporariesIn(dir).empty())
            ++figures_.leftTemps;

        fs::remove(shop_->Path("started.log"));
        RunResult r = run();
        SCOPED_TRACE("normal run after a kill at " + std::to_string(at) + " s");
        checkAfterNormalRun(r);
    }

    void checkAfterNormalRun(const RunResult& r) {
        const std::string dir = shop_->Dir();
        const Strings programs = programsIn(dir, "vendarix.exe");
        const bool one = programs == Strings{"Vendarix.exe"};
        const bool whole = one && DigestOfFile(shop_->Path(programs[0])) == newProgram_;
        std::error_code ec;
        const bool started = fs::exists(shop_->Path("started.log"), ec) &&
                             ReadFile(shop_->Path("started.log")).find("new") != std::string::npos;
        EXPECT_EQ(r.status, 0) << r.stderrText;
        EXPECT_TRUE(one) << ::testing::PrintToString(programs);
        EXPECT_TRUE(whole) << "Vendarix.exe is not the new program";
        EXPECT_TRUE(started) << "the new program did not start";
        EXPECT_EQ(temporariesIn(dir), Strings{});
        EXPECT_EQ(Columns(shop_->Tables() + "/Cad_Clientes.db"),
                  (Strings{"Codigo", "Nome", "Email", "MalaDireta"}));
        EXPECT_EQ(Columns(shop_->Tables() + "/Produtos.db"), (Strings{"Codigo", "Preco"}));
        EXPECT_EQ(Columns(shop_->Tables() + "/Vendas.db"), (Strings{"Numero", "Data", "Total"}));
        if (r.status != 0 || !whole || !started)
            ++figures_.lost;
    }

    void report(const char* what) const {
        std::cout << "[ figures  ] " << what << ": " << figures_.kills << " kills (mean moment "
                  << (figures_.kills ? figures_.killedAt / figures_.kills : 0) << "), " << figures_.setAside
                  << " left the program set aside as Vendarix.bkp, " << figures_.leftTemps
                  << " left temporaries, " << figures_.lost
                  << " pairs without the new program whole and started, " << figures_.missed
                  << " runs ended before their moment\n";
    }

    std::unique_ptr<Shop> shop_;
    std::unique_ptr<ThrottledServer> server_;
    std::string pristine_;
    Digest oldProgram_, newProgram_;
    double runSeconds_ = 0, extractStart_ = 0, extractSeconds_ = 0;
    Figures figures_;
};

TEST_P(KillCampaign, EveryKillIsFollowedByAWholeStartedProgram) {
    const Batch b = GetParam();
    calibrate();
    if (HasFatalFailure())
        return;
    if (!b.aimed) {
        // Moments spread evenly over the whole run, start-up included.
        const int per = kSpreadKills / kSpreadBatches;
        for (int k = 0; k < per; ++k) {
            const int g = b.index * per + k;
            // A little short of the timed run, which a loaded machine may
            // not repeat as slowly.
            killAndRecover(false, 0.9 * runSeconds_ * (g + 0.5) / kSpreadKills);
        }
        report("spread over the run (moments in s)");
    } else {
        const int per = kAimedKills / kAimedBatches;
        for (int k = 0; k < per; ++k) {
            const int g = b.index * per + k;
            killAndRecover(true, (g + 0.5) / kAimedKills);
        }
        report("aimed at the extraction (moments as the share of VENDARIX.EXE written)");
    }
    EXPECT_EQ(figures_.lost, 0);
}

std::vector<Batch> batches() {
    std::vector<Batch> all;
    for (int i = 0; i < kSpreadBatches; ++i)
        all.push_back({false, i});
    for (int i = 0; i < kAimedBatches; ++i)
        all.push_back({true, i});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Moments, KillCampaign, ::testing::ValuesIn(batches()),
                         [](const ::testing::TestParamInfo<Batch>& info) {
                             return std::string(info.param.aimed ? "Extraction" : "WholeRun") +
                                    std::to_string(info.param.index + 1);
                         });

} // namespace
