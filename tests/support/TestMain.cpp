// Test entry point: Qt offscreen, the application object, and the
// recording dialog layer in place of real boxes.
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "tests/support/TestDialogs.h"

using namespace vx::platform;
using namespace vx::test;

namespace {
TTestDialogs* g_dialogs = nullptr;
}

TTestDialogs& vx::test::TestDialogs() {
    return *g_dialogs;
}

int main(int argc, char** argv) {
#ifndef _WIN32
    // gtest discovery runs the binary without the test's environment.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    TApplication app(argc, argv);
    auto d = std::make_unique<TTestDialogs>();
    g_dialogs = d.get();
    SetDialogs(std::move(d));
    return RUN_ALL_TESTS();
}
