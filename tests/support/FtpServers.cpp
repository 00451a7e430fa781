#include "tests/support/FtpServers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace vx::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "vx";
constexpr const char* kPassword = "segredo";

bool canConnect(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

bool executable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

// Runs argv with stdout and stderr to log (stdin from input when given);
// returns the child's pid.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log, const std::string& input = {}) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    if (!input.empty())
        posix_spawn_file_actions_addopen(&fa, 0, input.c_str(), O_RDONLY, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int runToEnd(const std::vector<std::string>& argv, const std::string& log, const std::string& input = {}) {
    pid_t pid = spawn(argv, log, input);
    if (pid < 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The unpacked pure-ftpd: VX_PURE_FTPD, the copy the dependency script
// unpacks beside the sources, an installed one, or one fetched now into the
// build folder.
std::string findPureFtpd(const std::string& scratch) {
    if (const char* env = std::getenv("VX_PURE_FTPD"); env && executable(env))
        return env;
    for (std::string root : {std::string(VX_SOURCE_DIR) + "/build-deps/pure-ftpd",
                             std::string(VX_BINARY_DIR) + "/pure-ftpd", std::string()}) {
        if (executable(root + "/usr/sbin/pure-ftpd"))
            return root + "/usr/sbin/pure-ftpd";
    }
    const std::string root = std::string(VX_BINARY_DIR) + "/pure-ftpd";
    fs::create_directories(root);
    const std::string log = scratch + "/fetch.log";
    const std::string cmd =
        "cd '" + root +
        "' && apt-get download pure-ftpd && dpkg -x pure-ftpd_*.deb . && rm -f pure-ftpd_*.deb";
    runToEnd({"/bin/sh", "-c", cmd}, log);
    return executable(root + "/usr/sbin/pure-ftpd") ? root + "/usr/sbin/pure-ftpd" : std::string();
}

} // namespace

const char* TFtpServer::KindName(TKind kind) {
    switch (kind) {
    case Vsftpd:
        return "vsftpd";
    case PureFtpd:
        return "pure-ftpd";
    case Pyftpdlib:
        return "pyftpdlib";
    }
    return "?";
}

std::string TFtpServer::ScratchRoot() {
    if (const char* env = std::getenv("VX_FTP_SCRATCH"))
        return env;
    return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

std::unique_ptr<TFtpServer> TFtpServer::Start(TKind kind, std::string& why, const std::string& tlsPem) {
    if (!tlsPem.empty() && kind != Vsftpd) {
        why = "TLS is set up for vsftpd only";
        return nullptr;
    }
    // Another test's server may take the port first; a fresh port then.
    for (int attempt = 0;; ++attempt) {
        bool lostPort = false;
        auto s = startOnce(kind, why, lostPort, tlsPem);
        if (s || !lostPort || attempt == 4)
            return s;
    }
}

std::unique_ptr<TFtpServer> TFtpServer::startOnce(TKind kind, std::string& why, bool& lostPort,
                                                  const std::string& tlsPem) {
    std::unique_ptr<TFtpServer> s(new TFtpServer);
    s->name_ = KindName(kind);
    std::string tmplText = ScratchRoot() + "/vx-ftp-XXXXXX";
    std::vector<char> tmpl(tmplText.begin(), tmplText.end());
    tmpl.push_back('\0');
    if (!::mkdtemp(tmpl.data())) {
        why = "no temporary folder";
        return nullptr;
    }
    s->dir_ = tmpl.data();
    s->root_ = s->dir_ + "/files";
    fs::create_directories(s->root_);
    // The servers drop privileges before they read the files.
    ::chmod(s->dir_.c_str(), 0755);
    ::chmod(s->root_.c_str(), 0755);
    const std::string log = s->dir_ + "/server.log";
    if ((kind == Vsftpd || kind == PureFtpd) && ::geteuid() != 0) {
        why = std::string(s->name_) + " must be started as root";
        return nullptr;
    }
    switch (kind) {
    case Vsftpd: {
        if (!executable("/usr/sbin/vsftpd")) {
            why = "/usr/sbin/vsftpd is not installed (apt-get install vsftpd)";
            return nullptr;
        }
        // Anonymous login with a password prompt: USER, 331, PASS, 230.
        s->user_ = "anonymous";
        s->password_ = "vx@example.com";
        s->port_ = FreeLoopbackPort();
        fs::create_directories(s->dir_ + "/empty");
        // TLS required of the anonymous login and its data connections, as
        // of local accounts; ciphers named, since the default list of some
        // builds is one the TLS library no longer offers.
        const std::string tls =
            tlsPem.empty() ? std::string()
                           : "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                             "force_anon_data_ssl=YES\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
                             "require_ssl_reuse=YES\nssl_ciphers=HIGH\nrsa_cert_file=" +
                                 tlsPem + "\nrsa_private_key_file=" + tlsPem + "\n";
        writeText(s->dir_ + "/vsftpd.conf",
                  tls + "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(s->port_) +
                      "\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=NO\n"
                      "anon_root=" +
                      s->root_ +
                      "\nno_anon_password=NO\nanon_world_readable_only=NO\n"
                      "secure_chroot_dir=" +
                      s->dir_ +
                      "/empty\nbackground=NO\nseccomp_sandbox=NO\n"
                      "connect_from_port_20=NO\nmax_per_ip=0\nmax_clients=0\n"
                      "vsftpd_log_file=" +
                      s->dir_ + "/vsftpd.log\n");
        s->pid_ = spawn({"/usr/sbin/vsftpd", s->dir_ + "/vsftpd.conf"}, log);
        break;
    }
    case PureFtpd: {
        const std::string bin = findPureFtpd(s->dir_);
        if (bin.empty()) {
            why = "pure-ftpd not found and could not be fetched (apt-get download pure-ftpd && dpkg -x)";
            return nullptr;
        }
        const std::string pw = fs::path(bin).parent_path().parent_path().string() + "/bin/pure-pw";
        s->user_ = kUser;
        s->password_ = kPassword;
        // A virtual account of its own database, mapped to nobody. pure-pw
        // hashes with a deliberately slow function (seconds per login), so
        // the account line is written with a SHA-512 crypt hash instead
        // when openssl is at hand.
        const std::string passwd = s->dir_ + "/pureftpd.passwd";
        int rc = -1;
        if (executable("/usr/bin/openssl") &&
            runToEnd({"/usr/bin/openssl", "passwd", "-6", "-salt", "vxtests", kPassword},
                     s->dir_ + "/hash.txt") == 0) {
            std::string hash = readText(s->dir_ + "/hash.txt");
            while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r'))
                hash.pop_back();
            writeText(passwd,
                      std::string(kUser) + ":" + hash + ":65534:65534::" + s->root_ + "/./::::::::::::\n");
            rc = runToEnd({pw, "mkdb", s->dir_ + "/pureftpd.pdb", "-f", passwd}, log);
        }
        if (rc != 0) {
            writeText(s->dir_ + "/pw.txt", std::string(kPassword) + "\n" + kPassword + "\n");
            rc = runToEnd({pw, "useradd", kUser, "-u", "65534", "-g", "65534", "-d", s->root_, "-f", passwd,
                           "-m", "-F", s->dir_ + "/pureftpd.pdb"},
                          log, s->dir_ + "/pw.txt");
        }
        if (rc != 0) {
            why = "pure-pw failed: " + readText(log);
            return nullptr;
        }
        s->port_ = FreeLoopbackPort();
        s->pid_ =
            spawn({bin, "-S", "127.0.0.1," + std::to_string(s->port_), "-l",
                   "puredb:" + s->dir_ + "/pureftpd.pdb", "-E", "-4", "-H", "-A", "-c", "50", "-C", "50"},
                  log);
        break;
    }
    case Pyftpdlib: {
        // Debian's pyftpdlib belongs to the system's python3, which need not
        // be the first on the PATH.
        if (!executable("/usr/bin/python3") ||
            runToEnd({"/usr/bin/python3", "-c", "import pyftpdlib"}, log) != 0) {
            why = "pyftpdlib is not installed for /usr/bin/python3 (apt-get install python3-pyftpdlib)";
            return nullptr;
        }
        s->user_ = kUser;
        s->password_ = kPassword;
        s->port_ = FreeLoopbackPort();
        writeText(s->dir_ + "/server.py",
                  "import sys, logging\n"
                  "from pyftpdlib.authorizers import DummyAuthorizer\n"
                  "from pyftpdlib.handlers import FTPHandler\n"
                  "from pyftpdlib.servers import FTPServer\n"
                  "logging.basicConfig(level=logging.WARNING)\n"
                  "a = DummyAuthorizer()\n"
                  "a.add_user(sys.argv[3], sys.argv[4], sys.argv[2], perm='elr')\n"
                  "FTPHandler.authorizer = a\n"
                  "FTPServer(('127.0.0.1', int(sys.argv[1])), FTPHandler).serve_forever()\n");
        s->pid_ = spawn({"/usr/bin/python3", s->dir_ + "/server.py", std::to_string(s->port_), s->root_,
                         kUser, kPassword},
                        log);
        break;
    }
    }
    if (s->pid_ < 0) {
        why = "could not start " + s->name_;
        return nullptr;
    }
    if (!s->waitReady(why, lostPort))
        return nullptr;
    return s;
}

bool TFtpServer::waitReady(std::string& why, bool& lostPort) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto exited = [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        pid_ = -1;
        why = name_ + " exited at start: " + readText(dir_ + "/server.log");
        lostPort = true;
        return true;
    };
    while (std::chrono::steady_clock::now() < until) {
        if (exited())
            return false;
        if (canConnect(port_)) {
            // Whoever answered, the server must still be running: one that
            // could not bind the port ends at once, and what answered was
            // someone else's.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return !exited();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    why = name_ + " did not listen on port " + std::to_string(port_) + ": " + readText(dir_ + "/server.log");
    return false;
}

TFtpServer::~TFtpServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    std::error_code ec;
    if (!dir_.empty())
        fs::remove_all(dir_, ec);
}

void TFtpServer::AddFile(const std::string& name, const std::string& bytes) const {
    const std::string path = root_ + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    writeText(path, bytes);
    ::chmod(path.c_str(), 0644);
}

unsigned short FreeLoopbackPort() {
    // Ports below the range the kernel hands to outgoing connections.
    unsigned low = 32768;
    if (std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range"); range)
        range >> low;
    const unsigned first = low > 12000 ? low - 10000 : 1024;
    const unsigned count = low > first ? low - first : 1;
    static std::mt19937 pick(std::random_device{}());
    auto tryBind = [](unsigned short port) -> unsigned short {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        unsigned short got = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            socklen_t len = sizeof a;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
            got = ntohs(a.sin_port);
        }
        ::close(fd);
        return got;
    };
    for (int i = 0; i < 200; ++i)
        if (unsigned short p = tryBind(static_cast<unsigned short>(first + pick() % count)))
            return p;
    return tryBind(0);
}

} // namespace vx::test
