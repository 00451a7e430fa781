#include "tests/support/FtpPeer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx::test {

namespace {

// No step of a test waits longer than this for the client.
constexpr int kStepLimitMs = 15000;

int listenLoopback() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Waits until fd is readable, the stop flag is raised, or the limit passes.
bool waitReadable(int fd, const std::atomic<bool>& stop, int limitMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        if (r > 0)
            return true;
        if (limitMs >= 0 && std::chrono::steady_clock::now() > until)
            return false;
    }
    return false;
}

// Replies go out at once: with Nagle's algorithm a reply that follows
// another closely would wait for the client's delayed acknowledgement.
int noDelay(int fd) {
    int one = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

} // namespace

TFtpPeer::TFtpPeer() {
    listen_ = listenLoopback();
    port_ = listen_ >= 0 ? localPort(listen_) : 0;
    steps_.push_back([this] {
        if (!waitReadable(listen_, stop_, kStepLimitMs))
            return fail("no control connection"), false;
        control_ = noDelay(::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC));
        return control_ >= 0;
    });
}

TFtpPeer::~TFtpPeer() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    closeFd(data_);
    closeFd(intruder_);
    closeFd(dataListen_);
    closeFd(control_);
    closeFd(listen_);
}

void TFtpPeer::closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void TFtpPeer::fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty())
        error_ = why;
}

bool TFtpPeer::sendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool TFtpPeer::readLine(std::string& line) {
    for (;;) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(line);
            return true;
        }
        if (control_ < 0 || !waitReadable(control_, stop_, kStepLimitMs))
            return false;
        char buf[4096];
        ssize_t n = ::recv(control_, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

TFtpPeer& TFtpPeer::Send(std::string bytes) {
    steps_.push_back([this, bytes] { return sendAll(control_, bytes) || (fail("send failed"), false); });
    return *this;
}

TFtpPeer& TFtpPeer::Expect(std::string expected, std::string reply) {
    steps_.push_back([this, expected, reply] {
        std::string line;
        if (!readLine(line))
            return fail("expected \"" + expected + "\", got nothing"), false;
        if (line != expected)
            return fail("expected \"" + expected + "\", got \"" + line + "\""), false;
        return reply.empty() || sendAll(control_, reply);
    });
    return *this;
}

TFtpPeer& TFtpPeer::ExpectPort(std::string reply) {
    steps_.push_back([this, reply] {
        std::string line;
        if (!readLine(line))
            return fail("expected PORT, got nothing"), false;
        unsigned h[6];
        if (std::sscanf(line.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) !=
            6)
            return fail("expected PORT, got \"" + line + "\""), false;
        dataAddr_ = htonl((h[0] << 24) | (h[1] << 16) | (h[2] << 8) | h[3]);
        dataPort_ = htons(static_cast<uint16_t>(h[4] * 256 + h[5]));
        passive_ = false;
        return sendAll(control_, reply);
    });
    return *this;
}

TFtpPeer& TFtpPeer::ExpectPasv(std::string address) {
    steps_.push_back([this, address] {
        std::string line;
        if (!readLine(line) || line != "PASV")
            return fail("expected PASV, got \"" + line + "\""), false;
        closeFd(dataListen_);
        dataListen_ = listenLoopback();
        uint16_t p = localPort(dataListen_);
        passive_ = true;
        return sendAll(control_, "227 Entering Passive Mode (" + address + "," + std::to_string(p >> 8) +
                                     "," + std::to_string(p & 0xFF) + ").\r\n");
    });
    return *this;
}

TFtpPeer& TFtpPeer::OpenData() {
    steps_.push_back([this] {
        closeFd(data_);
        if (passive_) {
            if (!waitReadable(dataListen_, stop_, kStepLimitMs))
                return fail("no passive data connection"), false;
            data_ = ::accept4(dataListen_, nullptr, nullptr, SOCK_CLOEXEC);
        } else {
            data_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = dataAddr_;
            a.sin_port = dataPort_;
            if (::connect(data_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                closeFd(data_);
        }
        return data_ >= 0 || (fail("data connection failed"), false);
    });
    return *this;
}

TFtpPeer& TFtpPeer::SendData(std::string bytes, bool mayFail) {
    steps_.push_back([this, bytes, mayFail] {
        return sendAll(data_, bytes) || mayFail || (fail("data send failed"), false);
    });
    return *this;
}

TFtpPeer& TFtpPeer::CloseData() {
    steps_.push_back([this] {
        closeFd(data_);
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::SendRepeated(std::string bytes, size_t times) {
    steps_.push_back([this, bytes, times] {
        for (size_t i = 0; i < times && !stop_; ++i)
            if (!sendAll(control_, bytes))
                break;
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::IntrudeData(std::string from, std::string bytes) {
    steps_.push_back([this, from, bytes] {
        closeFd(intruder_);
        intruder_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &self.sin_addr);
        if (::bind(intruder_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0)
            return fail("intruder cannot bind " + from), false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = dataAddr_;
        a.sin_port = dataPort_;
        if (::connect(intruder_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return fail("intruder cannot connect"), false;
        sendAll(intruder_, bytes);
        // The client turns it away: the connection ends without its bytes
        // having been asked for.
        if (waitReadable(intruder_, stop_, kStepLimitMs)) {
            char c;
            if (::recv(intruder_, &c, 1, 0) <= 0)
                intruderTurnedAway_ = true;
        }
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::Drain(size_t n) {
    steps_.push_back([this, n] {
        size_t got = std::min(n, pending_.size());
        pending_.erase(0, got);
        char buf[65536];
        while (got < n) {
            if (!waitReadable(control_, stop_, kStepLimitMs))
                return fail("drain: only " + std::to_string(got) + " bytes came"), false;
            ssize_t r = ::recv(control_, buf, std::min(sizeof buf, n - got), 0);
            if (r <= 0)
                return fail("drain: connection closed after " + std::to_string(got) + " bytes"), false;
            got += static_cast<size_t>(r);
        }
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::Pause(int ms) {
    steps_.push_back([this, ms] {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::Close() {
    steps_.push_back([this] {
        closeFd(control_);
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::AcceptControl() {
    steps_.push_back([this] {
        closeFd(control_);
        pending_.clear();
        if (!waitReadable(listen_, stop_, kStepLimitMs))
            return fail("no further control connection"), false;
        control_ = noDelay(::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC));
        return control_ >= 0;
    });
    return *this;
}

TFtpPeer& TFtpPeer::Hold() {
    steps_.push_back([this] {
        while (!stop_ && control_ >= 0) {
            if (waitReadable(control_, stop_, 100)) {
                char buf[4096];
                ssize_t n = ::recv(control_, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                pending_.append(buf, static_cast<size_t>(n));
            }
        }
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::Do(std::function<void()> f) {
    steps_.push_back([f] {
        f();
        return true;
    });
    return *this;
}

void TFtpPeer::Start() {
    thread_ = std::thread([this] { run(); });
}

void TFtpPeer::run() {
    for (auto& step : steps_) {
        if (stop_)
            break;
        if (!step()) {
            // A script that went wrong hangs up, so that a client waiting for
            // an answer that will not come fails the test instead of hanging it.
            closeFd(data_);
            closeFd(control_);
            break;
        }
    }
    done_ = true;
    // After the script, lines are still recorded (nothing is answered) until
    // the client hangs up, so that a transcript shows what came after.
    std::string line;
    while (!stop_ && control_ >= 0 && readLine(line)) {
    }
    if (!stop_)
        clientClosed_ = true;
}

bool TFtpPeer::Wait(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done_;
}

std::vector<std::string> TFtpPeer::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::string TFtpPeer::Error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

} // namespace vx::test
