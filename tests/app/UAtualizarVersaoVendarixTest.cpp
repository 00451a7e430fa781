// The window: its stored layout, the timer that starts the run once, the one
// way it ends the updater, closing only after the run, and the gauge
// following the FTP client's progress. The run's own outcomes are tested
// without a window (UpdateRunTest).
#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>

#include <gtest/gtest.h>

#include "app/UAtualizarVersaoVendarix.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Text.h"
#include "platform/Timer.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestDialogs.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::app;
using namespace vx::test;

namespace {

using Names = std::vector<std::string>;

// What the system shows of a control.
template <class W = QWidget> W* qt(const TWindowControl* c) {
    return static_cast<W*>(c->Native());
}

class WindowTest : public ::testing::Test, public TShopFixture {
protected:
    std::unique_ptr<TFAtualizarVersaoVendarix> makeForm(bool endWhenRunEnds = false) {
        TUpdaterSetup s;
        auto f = std::make_unique<TScriptedFtp>(log);
        ftp = f.get();
        ftp->Files[kProgramRemote] = ArchiveOf({{"VENDARIX.EXE", "=new program"}});
        ftp->Files[kSchemaRemote] = ArchiveOf({{"Talvir.db", "<" + staging + "/Talvir.db"}});
        s.FtpService = std::move(f);
        s.ArchiveService = std::make_unique<TScriptedArchive>(log);
        s.StartProgram = [this](const std::string& cmd, int show) {
            started.push_back({cmd, show, work.Read("Vendarix.exe")});
            return 33u;
        };
        s.Terminate = [this] { ++terminations; };
        s.EndWhenRunEnds = endWhenRunEnds;
        return std::make_unique<TFAtualizarVersaoVendarix>(std::move(s));
    }

    // Shows the window and lets its timer start the run, as the message
    // loop would; the timer's interval is shortened to keep the test fast.
    static void run(TFAtualizarVersaoVendarix& form) {
        form.Timer1->SetInterval(1);
        form.Show();
        const bool ended = Application()->WaitUntilFor(
            [&] {
                const TRunState s = form.RunState();
                return s == TRunState::Finished || s == TRunState::Stopped || s == TRunState::Broken;
            },
            10000);
        ASSERT_TRUE(ended);
    }

    TScriptedFtp* ftp = nullptr;
};

TEST_F(WindowTest, TheTimerRunsTheUpdateOnceAndTheFinishedRunEndsTheUpdater) {
    auto form = makeForm();
    EXPECT_EQ(form->RunState(), TRunState::Starting);
    run(*form);

    EXPECT_EQ(form->RunState(), TRunState::Finished);
    EXPECT_FALSE(form->Timer1->Enabled());
    EXPECT_EQ(Lines(log, "Connect").size(), 1u);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "new program");
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(form->ExitCode(), 0);
    // The gauge followed the downloads, then the reconciliation's one table.
    EXPECT_EQ(form->GTalvir->MaxValue(), 0);
}

TEST_F(WindowTest, BrokenRunShowsItsErrorAndKeepsTheWindowOpen) {
    auto form = makeForm();
    ftp->Files[kSchemaRemote] = ""; // no archive: it cannot be opened
    run(*form);
    EXPECT_EQ(form->RunState(), TRunState::Broken);
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    EXPECT_EQ(TestDialogs().shown[0].request.icon, TDialogIcon::Error);
    EXPECT_TRUE(form->Window()->Visible());
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(form->ExitCode(), 2);
}

TEST_F(WindowTest, UnattendedTheBrokenRunEndsTheUpdaterOnce) {
    auto form = makeForm(true);
    ftp->Files[kSchemaRemote] = "";
    run(*form);
    EXPECT_EQ(form->RunState(), TRunState::Broken);
    EXPECT_EQ(terminations, 1);
}

TEST_F(WindowTest, UnattendedTheUpdaterEndsWithTheStoppedRun) {
    auto form = makeForm(true);
    ftp->ConnectFails = true;
    run(*form);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(form->ExitCode(), 1);
}

TEST_F(WindowTest, PacketsMoveTheGauge) {
    auto form = makeForm();
    TProgressGauge& g = *form->GTalvir;
    ftp->Files["/a"] = std::string(400, 'x');
    ftp->BlockSize = 100;
    const int repaints = g.RepaintCount();
    ftp->Download("/a", ".\\a.bin");
    EXPECT_EQ(g.MaxValue(), 400);
    EXPECT_EQ(g.Progress(), 400);
    // The new maximum, then 25, 50, 75 and 100 %.
    EXPECT_EQ(g.RepaintCount() - repaints, 5);

    // A transfer whose size was not announced holds the gauge at 0.
    ftp->Files["/b"] = "abc";
    ftp->Announced["/b"] = 0;
    ftp->Download("/b", ".\\b.bin");
    EXPECT_EQ(g.MaxValue(), 0);
    EXPECT_EQ(g.Progress(), 0);
    EXPECT_EQ(g.PercentDone(), 0);
}

TEST_F(WindowTest, WindowClosesWithEscapeOnlyAfterTheRun) {
    auto form = makeForm();
    bool refusedDuringRun = false;
    ftp->OnDownload = [&](const std::string&) {
        refusedDuringRun = !form->Window()->Close() && form->Window()->Visible();
    };
    ftp->Files[kSchemaRemote] = ""; // cannot be opened: ends broken
    run(*form);
    EXPECT_TRUE(refusedDuringRun);
    EXPECT_EQ(terminations, 0);
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(qt(form->Window()), &esc);
    EXPECT_FALSE(form->Window()->Visible());
    EXPECT_EQ(terminations, 1);
}

TEST_F(WindowTest, WindowAsStored) {
    auto form = makeForm();
    form->Show();
    QWidget* w = qt(form->Window());
    EXPECT_EQ(w->frameGeometry().size(), QSize(368, 151));
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Atualizar versão Vendarix v 2.1"));
    EXPECT_FALSE(w->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMinMaxButtonsHint);
    const QRect screen = w->screen()->geometry();
    EXPECT_EQ(w->frameGeometry().topLeft(),
              QPoint(screen.left() + (screen.width() - 368) / 2, screen.top() + (screen.height() - 151) / 2));

    QLabel* label2 = qt<QLabel>(form->Label2);
    QLabel* lAtualizando = qt<QLabel>(form->LAtualizando);
    EXPECT_EQ(label2->geometry(), QRect(48, 19, 267, 32));
    EXPECT_EQ(lAtualizando->geometry(), QRect(47, 18, 267, 32));
    for (QLabel* l : {label2, lAtualizando}) {
        EXPECT_EQ(l->text(), QString::fromUtf8("Atualizando versão"));
        EXPECT_EQ(l->font().pixelSize(), 27);
        EXPECT_TRUE(l->font().bold());
    }
    EXPECT_EQ(label2->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(lAtualizando->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_TRUE(label2->autoFillBackground());
    EXPECT_FALSE(lAtualizando->autoFillBackground());
    // The blue text is painted above its shadow.
    EXPECT_GT(w->children().indexOf(lAtualizando), w->children().indexOf(label2));

    EXPECT_EQ(qt(&form->GTalvir->Control())->geometry(), QRect(16, 72, 329, 17));
    EXPECT_EQ(form->GTalvir->ForeColor(), clBlue);
    EXPECT_EQ(form->GTalvir->Color(), clBtnFace);
    EXPECT_EQ(form->GTalvir->Kind(), gkHorizontalBar);
    EXPECT_EQ(form->Timer1->Interval(), 1000u);
    EXPECT_EQ(form->Database1->DatabaseName(), "Confeccao");
    EXPECT_FALSE(form->Database1->LoginPrompt());
}

} // namespace
