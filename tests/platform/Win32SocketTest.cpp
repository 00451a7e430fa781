// The Windows half's sockets, lookups and timers through the message loop:
// Winsock's own notifications, relayed with the socket's serial number.
#include <gtest/gtest.h>

#include <vector>

#include <windows.h>

#include "platform/Application.h"
#include "platform/AsyncSelect.h"
#include "platform/Notifier.h"
#include "platform/Timer.h"

using namespace vx::platform;

namespace {

constexpr unsigned kMsg = 1125;

struct TNote {
    uintptr_t serial;
    uint16_t event, error;
};

struct TRecorder {
    std::vector<TNote> notes;
    TNotifyWindow window{[this](unsigned msg, uintptr_t w, intptr_t l) {
        if (msg == kMsg)
            notes.push_back({w, ws::SelectEvent(l), ws::SelectError(l)});
    }};
    // Waits (in the message loop) for a notification of event for serial.
    bool WaitFor(uintptr_t serial, uint16_t event, uint16_t* error = nullptr, int ms = 5000) {
        auto found = [&] {
            for (const TNote& n : notes)
                if (n.serial == serial && n.event == event) {
                    if (error)
                        *error = n.error;
                    return true;
                }
            return false;
        };
        return Application()->WaitUntilFor(found, ms);
    }
};

} // namespace

TEST(Win32Sockets, ConnectAcceptReceiveCloseAndRefusal) {
    TRecorder r;
    const uint32_t loopback = ws::InetAddr("127.0.0.1");
    ws::TSocket listener = ws::Socket();
    ASSERT_NE(listener, ws::INVALID_SOCKET);
    ASSERT_EQ(ws::Bind(listener, loopback, 0), 0);
    ASSERT_EQ(ws::Listen(listener, 1), 0);
    uint16_t port = 0;
    ASSERT_EQ(ws::GetSockName(listener, nullptr, &port), 0);
    ASSERT_EQ(ws::AsyncSelect(listener, &r.window, kMsg, ws::FD_ACCEPT), 0);

    ws::TSocket client = ws::Socket();
    ASSERT_EQ(ws::AsyncSelect(client, &r.window, kMsg, ws::FD_CONNECT | ws::FD_READ | ws::FD_CLOSE), 0);
    EXPECT_EQ(ws::Connect(client, loopback, port), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::LastError(), 10035); // would block: the outcome is a notification
    uint16_t error = 1;
    ASSERT_TRUE(r.WaitFor(ws::Serial(client), ws::FD_CONNECT, &error));
    EXPECT_EQ(error, 0);
    ASSERT_TRUE(r.WaitFor(ws::Serial(listener), ws::FD_ACCEPT));
    ws::TSocket server = ws::Accept(listener, nullptr, nullptr);
    ASSERT_NE(server, ws::INVALID_SOCKET);
    EXPECT_NE(ws::Serial(server), ws::Serial(client));

    ASSERT_EQ(ws::Send(server, "hello", 5), 5);
    ASSERT_TRUE(r.WaitFor(ws::Serial(client), ws::FD_READ));
    char buf[16] = {};
    EXPECT_EQ(ws::Recv(client, buf, sizeof buf, false), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    ws::CloseSocket(server);
    ASSERT_TRUE(r.WaitFor(ws::Serial(client), ws::FD_CLOSE));
    ws::CloseSocket(client);

    // Nobody listens on the port any more: refused, reported as FD_CONNECT.
    ws::CloseSocket(listener);
    ws::TSocket refused = ws::Socket();
    ASSERT_EQ(ws::AsyncSelect(refused, &r.window, kMsg, ws::FD_CONNECT), 0);
    ws::Connect(refused, loopback, port);
    ASSERT_TRUE(r.WaitFor(ws::Serial(refused), ws::FD_CONNECT, &error));
    EXPECT_EQ(error, 10061);
    ws::CloseSocket(refused);
}

TEST(Win32Sockets, LookupsAndTimersComeThroughTheLoop) {
    TRecorder r;
    auto lookup = ws::AsyncGetHostByName(&r.window, kMsg, "localhost");
    uint16_t error = 1;
    ASSERT_TRUE(r.WaitFor(0, 0, &error));
    EXPECT_EQ(error, 0);
    uint8_t addr[16];
    ASSERT_GE(ws::LookupAddresses(lookup, addr, sizeof addr), 1);
    EXPECT_EQ(addr[0], 127);

    int fired = 0;
    TPlatformTimer once;
    once.OnFire = [&] { ++fired; };
    once.Start(20, false);
    EXPECT_TRUE(Application()->WaitUntilFor([&] { return fired > 0; }, 5000));
    EXPECT_FALSE(once.Active());
    // Nothing more comes from a one-shot timer: the wait runs out.
    EXPECT_FALSE(Application()->WaitUntilFor([&] { return fired > 1; }, 100));
}

TEST(Win32Sockets, ANotificationLeftByAClosedSocketNeverReachesTheNextOneWithItsHandle) {
    TRecorder r;
    const uint32_t loopback = ws::InetAddr("127.0.0.1");
    ws::TSocket listener = ws::Socket();
    ASSERT_EQ(ws::Bind(listener, loopback, 0), 0);
    ASSERT_EQ(ws::Listen(listener, 4), 0);
    uint16_t port = 0;
    ASSERT_EQ(ws::GetSockName(listener, nullptr, &port), 0);
    ASSERT_EQ(ws::AsyncSelect(listener, &r.window, kMsg, ws::FD_ACCEPT), 0);
    ws::TSocket old = ws::Socket();
    ASSERT_EQ(ws::AsyncSelect(old, &r.window, kMsg, ws::FD_CONNECT | ws::FD_READ | ws::FD_CLOSE), 0);
    ws::Connect(old, loopback, port);
    ASSERT_TRUE(r.WaitFor(ws::Serial(old), ws::FD_CONNECT));
    ASSERT_TRUE(r.WaitFor(ws::Serial(listener), ws::FD_ACCEPT));
    ws::TSocket server = ws::Accept(listener, nullptr, nullptr);
    ASSERT_NE(server, ws::INVALID_SOCKET);

    // The peer closes; its notification waits in the queue (nothing is
    // dispatched during the pause) while the socket is closed and the next
    // one, most often under the same handle, starts listening for a close.
    ws::CloseSocket(server);
    Sleep(200);
    ws::CloseSocket(old);
    ws::TSocket next = ws::Socket();
    ASSERT_EQ(ws::AsyncSelect(next, &r.window, kMsg, ws::FD_CONNECT | ws::FD_READ | ws::FD_CLOSE), 0);
    EXPECT_FALSE(r.WaitFor(ws::Serial(next), ws::FD_CLOSE, nullptr, 500));
    ws::CloseSocket(next);
    ws::CloseSocket(listener);
}
