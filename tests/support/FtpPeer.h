// A scripted peer for protocol tests: it listens on loopback, takes the
// client's control connection and plays a transcript: the command lines it
// expects and the replies it gives, data connections in active (PORT) and
// passive (PASV) mode, pauses, silence and hang-ups. It runs on its own
// thread with blocking sockets, so the client under test waits in the event
// loop of the test thread as it does in the application.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx::test {

class TFtpPeer {
public:
    TFtpPeer();
    ~TFtpPeer();
    TFtpPeer(const TFtpPeer&) = delete;
    TFtpPeer& operator=(const TFtpPeer&) = delete;

    uint16_t Port() const { return port_; }

    // Script steps, played in order after Start().
    // Sends raw bytes on the control connection.
    TFtpPeer& Send(std::string bytes);
    // Reads one command line; it must equal expected (without CR LF), then
    // reply is sent (nothing when empty).
    TFtpPeer& Expect(std::string expected, std::string reply = {});
    // Expects "PORT h1,...,p2", keeps the address for the data connection,
    // and replies.
    TFtpPeer& ExpectPort(std::string reply = "200 PORT command successful.\r\n");
    // Expects "PASV", opens a data listener, and replies with the listener's
    // port behind the given address ("227 Entering Passive Mode (addr,p1,p2)").
    TFtpPeer& ExpectPasv(std::string address = "127,0,0,1");
    // Opens the data connection: connects to the PORT address, or accepts on
    // the PASV listener.
    TFtpPeer& OpenData();
    // Sends on the data connection. A client that gives up on the transfer
    // may close it first; with mayFail that is not a fault of the script.
    TFtpPeer& SendData(std::string bytes, bool mayFail = false);
    TFtpPeer& CloseData();
    // Sends bytes on the control connection up to times times, as a server
    // that floods the client; stops quietly once the client hangs up.
    TFtpPeer& SendRepeated(std::string bytes, size_t times);
    // A third party: connects from the address `from` (another loopback
    // address) to the data port the client announced with PORT, and sends
    // bytes there, before the server itself connects.
    TFtpPeer& IntrudeData(std::string from, std::string bytes);
    // Set once an intruder's connection was closed by the client without
    // its bytes being taken as the file.
    bool IntruderTurnedAway() const { return intruderTurnedAway_; }
    // Reads and discards n bytes of the control connection (raw, not lines).
    TFtpPeer& Drain(size_t n);
    // Waits the given time.
    TFtpPeer& Pause(int ms);
    // Closes the control connection.
    TFtpPeer& Close();
    // Takes a further control connection (the previous one is closed).
    TFtpPeer& AcceptControl();
    // Stays silent, keeping every connection open, until the client closes
    // the control connection or the peer is destroyed.
    TFtpPeer& Hold();
    // Runs any function on the peer thread.
    TFtpPeer& Do(std::function<void()> f);
    // The server's side of a TLS handshake on the control connection, with
    // the certificate and key of pemFile; then Record, decrypting if the
    // handshake held.
    TFtpPeer& ServeTls(std::string pemFile);
    bool TlsAccepted() const;
    // Records everything the client sends on the control connection until
    // it closes (at most 15 s), as Recorded.
    TFtpPeer& Record();
    std::string Recorded() const;

    void Start();
    // Waits for the script to finish (at most ms); true when it did.
    bool Wait(int ms = 10000);
    // Command lines received, without CR LF, in order.
    std::vector<std::string> Commands() const;
    // Empty when every expectation held.
    std::string Error() const;
    // Set once the client has closed the control connection after the
    // script ended.
    bool ClientClosed() const { return clientClosed_; }

private:
    void run();
    bool readLine(std::string& line);
    bool sendAll(int fd, const std::string& bytes);
    void fail(const std::string& why);
    void closeFd(int& fd);

    std::vector<std::function<bool()>> steps_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> clientClosed_{false};
    std::atomic<bool> intruderTurnedAway_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::string error_;
    int listen_ = -1;
    int control_ = -1;
    int dataListen_ = -1;
    int data_ = -1;
    int intruder_ = -1;
    std::string pending_;   // control bytes read past the last line
    uint32_t dataAddr_ = 0; // network order, from PORT
    uint16_t dataPort_ = 0; // network order, from PORT
    bool passive_ = false;
    uint16_t port_ = 0;
    bool tlsAccepted_ = false; // under mutex_
    std::string recorded_;     // under mutex_
};

} // namespace vx::test
