// Keeps a socket in ReadLn on a silent loopback peer for a while and prints
// the process's CPU seconds: a wait that sleeps in the event loop costs
// next to nothing.   idle_wait_bench [seconds=10]
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

#include "net/AsyncSocket.h"
#include "platform/Application.h"
#include "tests/support/FtpPeer.h"

using namespace vx::platform;
using namespace vx::net;
using namespace vx::test;

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    TApplication app(argc, argv);
    TFtpPeer peer;
    peer.Hold();
    peer.Start();
    TAsyncSocket s;
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    s.SetTimeOut(seconds * 1000);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    try {
        s.ReadLn();
    } catch (const EAbortError&) {
        // The time-out ends the wait.
    }
    getrusage(RUSAGE_SELF, &after);
    auto secs = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    const double cpu =
        secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
    std::printf("ReadLn on a silent peer for %d s: %.4f CPU seconds (the peer's thread polls every 50 ms)\n",
                seconds, cpu);
    return cpu < 0.1 ? 0 : 1;
}
