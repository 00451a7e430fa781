// Real FTP servers for the tests: vsftpd, pure-ftpd and pyftpdlib, each
// started on a free loopback port with its own configuration in a temporary
// folder, serving the folder's "files" subfolder, and stopped (and the folder
// removed) when the object goes. pure-ftpd conflicts with vsftpd as an
// installed package, so it is run from its unpacked package (found beside
// the build, in VX_PURE_FTPD, or fetched with apt-get download).
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include <gtest/gtest.h>

namespace vx::test {

// A loopback port that nobody listens on. It is drawn at random from below
// the kernel's range for outgoing connections, so that no client of a test
// running beside this one takes it between now and the server's bind.
unsigned short FreeLoopbackPort();

class TFtpServer {
public:
    enum TKind { Vsftpd, PureFtpd, Pyftpdlib };

    // Starts the server; null, with the reason in why, when it cannot run
    // here (not installed, not root, did not come up). With tlsPem (a PEM
    // file holding the certificate and its key) the server requires
    // explicit TLS for the login and every data connection, and a data
    // connection's TLS session must take up the control connection's
    // (vsftpd only).
    static std::unique_ptr<TFtpServer> Start(TKind kind, std::string& why, const std::string& tlsPem = {});
    ~TFtpServer();

    static const char* KindName(TKind kind);
    const std::string& Name() const { return name_; }
    unsigned short Port() const { return port_; }
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    // The folder served as the account's root.
    const std::string& Root() const { return root_; }
    // Writes a file under the root, readable by the server.
    void AddFile(const std::string& name, const std::string& bytes) const;
    // Where the servers' folders (and large test files) go: memory when
    // /dev/shm is writable, so that the disk is not what a test waits on;
    // VX_FTP_SCRATCH names another folder.
    static std::string ScratchRoot();

private:
    TFtpServer() = default;
    static std::unique_ptr<TFtpServer> startOnce(TKind kind, std::string& why, bool& lostPort,
                                                 const std::string& tlsPem);
    bool waitReady(std::string& why, bool& lostPort);
    std::string name_;
    unsigned short port_ = 0;
    std::string user_;
    std::string password_;
    std::string dir_;
    std::string root_;
    pid_t pid_ = -1;
};

} // namespace vx::test
