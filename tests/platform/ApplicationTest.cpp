#include <gtest/gtest.h>

#include <sys/resource.h>

#include <QTimer>

#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Notifier.h"
#include "platform/Timer.h"
#include "tests/support/TestDialogs.h"

using namespace vx::platform;
using namespace vx::test;

TEST(Application, TitleFromTheExecutableName) {
    EXPECT_EQ(TApplication::TitleFromPath("/x/build/AtualizarVendarix"), "Atualizarvendarix");
    EXPECT_EQ(TApplication::TitleFromPath("C:\\P\\ATUALIZAR.EXE"), "Atualizar");
}

TEST(Application, DefaultHandlerAppendsAFullStop) {
    EXPECT_EQ(TApplication::ExceptionText("Range check error"), "Range check error.");
    EXPECT_EQ(TApplication::ExceptionText("Done."), "Done.");
    EXPECT_EQ(TApplication::ExceptionText("Odd!"), "Odd!"); // '!' sorts before '.'
    EXPECT_EQ(TApplication::ExceptionText("line\r\n"), "line\r\n");
    EXPECT_EQ(TApplication::ExceptionText(""), "");
    TestDialogs().Reset();
    Application()->Dispatch([] { throw Exception("Stream read error"); });
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    EXPECT_EQ(TestDialogs().shown[0].request.text, "Stream read error.");
    EXPECT_EQ(TestDialogs().shown[0].request.icon, TDialogIcon::Error);
    EXPECT_EQ(TestDialogs().shown[0].request.title, Application()->Title());
}

TEST(Application, WaitBlocksUntilANotificationArrives) {
    bool done = false;
    std::vector<unsigned> got;
    TNotifyWindow w([&](unsigned msg, uintptr_t, intptr_t) {
        got.push_back(msg);
        done = msg == 1126;
    });
    TPlatformTimer t;
    t.OnFire = [&] {
        w.Post(1125, 0, 0);
        w.Post(1126, 0, 0);
    };
    t.Start(200, false);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    Application()->WaitUntil([&] { return done; });
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(got, (std::vector<unsigned>{1125, 1126}));
    double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                 (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                 (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
                 (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
    // A spinning wait would burn the whole 200 ms.
    EXPECT_LT(cpu, 0.1);
    EXPECT_FALSE(Application()->WaitUntilFor([] { return false; }, 20));
}

TEST(Application, TimerComponentFiresWhenEnabled) {
    TTimer timer;
    timer.SetEnabled(false);
    timer.SetInterval(10);
    int fired = 0;
    timer.SetOnTimer([&](TObject* s) {
        EXPECT_EQ(s, &timer);
        ++fired;
        timer.SetEnabled(false);
    });
    EXPECT_FALSE(Application()->WaitUntilFor([&] { return fired > 0; }, 50));
    timer.SetEnabled(true);
    EXPECT_TRUE(Application()->WaitUntilFor([&] { return fired > 0; }, 2000));
    Application()->WaitUntilFor([] { return false; }, 30);
    EXPECT_EQ(fired, 1);
}

TEST(Dialogs, UnattendedLinesAndAnswers) {
    auto d = MakeUnattendedDialogs("ignore,abort,secret");
    TDialogRequest r;
    r.title = "Confirmar";
    r.text = "a\r\nb";
    r.buttons = {{mrAbort, "&Abortar"}, {mrRetry, "&Tentar"}, {mrIgnore, "&Ignorar"}};
    r.defaultResult = mrAbort;
    testing::internal::CaptureStderr();
    EXPECT_EQ(d->Show(r), mrIgnore);
    EXPECT_EQ(d->Show(r), mrAbort);
    std::string v;
    EXPECT_TRUE(d->InputQuery("Senha", "Password", v));
    EXPECT_EQ(v, "secret");
    EXPECT_EQ(d->Show(r), mrAbort); // no answers left: the default
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(0, err.find('\n')), "dialog: Confirmar: a b [abort,retry,ignore]");
}
