#include "platform/Files.h"

#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/FileHandle.h"
#include "platform/SysUtils.h"
#include "platform/Text.h"

namespace vx::platform {

namespace {

const char* kDosAttrib = "user.DOSATTRIB";

bool isSep(char c) {
    return c == '\\' || c == '/';
}

bool hasDrive(const std::string& p) {
    return p.size() >= 2 && p[1] == ':' && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
}

bool sameNameNoCase(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// Finds `name` (UTF-8) in folder `dir` without regard to case; the exact
// spelling wins when it exists.
std::string matchInDir(const std::string& dir, const std::string& name) {
    std::string exact = (dir.empty() ? std::string() : dir + "/") + name;
    struct stat st;
    if (lstat(exact.empty() ? "." : exact.c_str(), &st) == 0)
        return name;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return name;
    std::string found = name;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        if (sameNameNoCase(n, name)) {
            found = n;
            break;
        }
    }
    closedir(d);
    return found;
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    if (dir == "/")
        return "/" + name;
    return dir + "/" + name;
}

// Splits a resolved path into its folder part and the name as written.
void splitLast(const std::string& winPath, std::string& dirPart, std::string& name) {
    size_t p = winPath.find_last_of("\\/");
    if (p == std::string::npos) {
        if (hasDrive(winPath)) {
            dirPart = winPath.substr(0, 2);
            name = winPath.substr(2);
        } else {
            dirPart.clear();
            name = winPath;
        }
        return;
    }
    dirPart = winPath.substr(0, p + 1);
    name = winPath.substr(p + 1);
}

std::string linuxName(const std::string& ansi) {
    return AnsiToUtf8(ansi);
}

} // namespace

std::string DriveRoot(char letter) {
    char up = static_cast<char>(letter >= 'a' && letter <= 'z' ? letter - 32 : letter);
    std::string var = std::string("UPDATER_DRIVE_") + up;
    const char* v = std::getenv(var.c_str());
    if (v && *v)
        return v;
    if (up == 'C')
        return "/";
    return std::string("/mnt/") + static_cast<char>(up + 32);
}

bool IsRemovableDrive(const std::string& winPath) {
    if (!hasDrive(winPath))
        return false;
    char c = winPath[0];
    return c == 'A' || c == 'a' || c == 'B' || c == 'b';
}

std::string ResolvePath(const std::string& winPath) {
    std::string rest = winPath;
    std::string cur;
    if (hasDrive(rest)) {
        cur = DriveRoot(rest[0]);
        rest = rest.substr(2);
        if (cur.size() > 1 && cur.back() == '/')
            cur.pop_back();
    } else if (!rest.empty() && isSep(rest[0])) {
        cur = "/";
    }
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = i;
        while (j < rest.size() && !isSep(rest[j]))
            ++j;
        std::string comp = rest.substr(i, j - i);
        i = j + 1;
        if (comp.empty() || comp == ".") {
            if (j >= rest.size())
                break;
            continue;
        }
        std::string name = comp == ".." ? comp : matchInDir(cur, linuxName(comp));
        cur = join(cur, name);
        if (j >= rest.size())
            break;
    }
    return cur.empty() ? "." : cur;
}

bool FileExists(const std::string& winPath) {
    struct stat st;
    return stat(ResolvePath(winPath).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& winPath) {
    struct stat st;
    return stat(ResolvePath(winPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& winPath) {
    std::string p = ResolvePath(winPath);
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    return unlink(p.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    std::string src = ResolvePath(from);
    struct stat sst;
    if (lstat(src.c_str(), &sst) != 0)
        return false;
    std::string toDir, toName;
    splitLast(to, toDir, toName);
    if (toName.empty())
        return false;
    std::string dstDir = toDir.empty() ? std::string() : ResolvePath(toDir);
    std::string dst = join(dstDir == "." ? std::string() : dstDir, linuxName(toName));
    std::string existing = ResolvePath(to);
    struct stat dst_st;
    if (lstat(existing.c_str(), &dst_st) == 0) {
        bool same = dst_st.st_dev == sst.st_dev && dst_st.st_ino == sst.st_ino;
        if (!same)
            return false;
        if (existing == dst)
            return true; // nothing to change
        // The target is the source under another letter case: change it.
        return std::rename(src.c_str(), dst.c_str()) == 0;
    }
    // No replacing of a target that appears meanwhile.
    return renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0;
}

bool CreateDir(const std::string& winPath) {
    return mkdir(ResolvePath(winPath).c_str(), 0777) == 0;
}

bool ForceDirectories(const std::string& winPath) {
    std::string p = winPath;
    while (!p.empty() && isSep(p.back()))
        p.pop_back();
    if (p.empty() || (hasDrive(p) && p.size() == 2))
        return true;
    if (DirectoryExists(p))
        return true;
    std::string dirPart, name;
    splitLast(p, dirPart, name);
    if (!dirPart.empty() && !ForceDirectories(dirPart))
        return false;
    if (name.empty() || name == "." || name == "..")
        return DirectoryExists(p);
    return CreateDir(p) || DirectoryExists(p);
}

uint32_t FileGetAttr(const std::string& winPath) {
    std::string p = ResolvePath(winPath);
    struct stat st;
    if (stat(p.c_str(), &st) != 0)
        return faInvalid;
    uint32_t attr = 0;
    char buf[64] = {0};
    ssize_t n = getxattr(p.c_str(), kDosAttrib, buf, sizeof buf - 1);
    if (n > 0)
        attr = static_cast<uint32_t>(std::strtoul(buf, nullptr, 0)) &
               ~(faReadOnly | faDirectory | faNormal | faVolumeID);
    if (S_ISDIR(st.st_mode))
        attr |= faDirectory;
    if (!(st.st_mode & S_IWUSR))
        attr |= faReadOnly;
    if (attr == 0)
        attr = faNormal;
    return attr;
}

bool FileSetAttr(const std::string& winPath, uint32_t attr) {
    int fd = ::open(ResolvePath(winPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = FileSetAttrHandle(fd, attr);
    ::close(fd);
    return ok;
}

bool FileSetMode(const std::string& winPath, uint32_t mode) {
    return chmod(ResolvePath(winPath).c_str(), static_cast<mode_t>(mode & 07777)) == 0;
}

int64_t DosDateTimeToUnix(int32_t dosDateTime) {
    uint32_t v = static_cast<uint32_t>(dosDateTime);
    uint32_t date = v >> 16, time = v & 0xFFFF;
    struct tm tm = {};
    tm.tm_year = static_cast<int>(((date >> 9) & 0x7F) + 1980 - 1900);
    tm.tm_mon = static_cast<int>(((date >> 5) & 0x0F)) - 1;
    tm.tm_mday = static_cast<int>(date & 0x1F);
    tm.tm_hour = static_cast<int>(time >> 11);
    tm.tm_min = static_cast<int>((time >> 5) & 0x3F);
    tm.tm_sec = static_cast<int>((time & 0x1F) * 2);
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59)
        return -1;
    // mktime would read the zone's file again for every call (a stat per
    // extracted file); localtime_r reads it once. The fields are first read
    // as UTC, then moved by the zone's offset at that moment, taken a second
    // time where the first guess fell on the other side of a change.
    const time_t asUtc = timegm(&tm);
    auto offsetAt = [](time_t t) -> long {
        struct tm local;
        return localtime_r(&t, &local) ? local.tm_gmtoff : 0;
    };
    time_t t = asUtc - offsetAt(asUtc);
    t = asUtc - offsetAt(t);
    return static_cast<int64_t>(t);
}

int32_t UnixToDosDateTime(int64_t unixTime) {
    time_t t = static_cast<time_t>(unixTime);
    struct tm tm;
    if (!localtime_r(&t, &tm))
        return -1;
    if (tm.tm_year < 80)
        return static_cast<int32_t>((1u << 5 | 1u) << 16); // 1980-01-01
    uint32_t date = static_cast<uint32_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    uint32_t time = static_cast<uint32_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    return static_cast<int32_t>(date << 16 | time);
}

int32_t FileGetDate(const std::string& winPath) {
    struct stat st;
    if (stat(ResolvePath(winPath).c_str(), &st) != 0)
        return -1;
    return UnixToDosDateTime(st.st_mtime);
}

bool FileSetDate(const std::string& winPath, int32_t dosDateTime) {
    int fd = ::open(ResolvePath(winPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = FileSetDateHandle(fd, dosDateTime);
    ::close(fd);
    return ok;
}

// Linux starts a program in the folder it is given or not at all.
bool WorkingFolderIsSystemFolder() {
    return false;
}

std::vector<std::string> ListDirectory(const std::string& winPath) {
    std::vector<std::string> names;
    std::string p = winPath.empty() ? std::string(".") : ResolvePath(winPath);
    DIR* d = opendir(p.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        names.push_back(Utf8ToAnsi(n));
    }
    closedir(d);
    return names;
}

namespace {

// Opens a name for the updater's own small files: never through a link, and
// only a plain file with one name (a hard link planted at the name would make
// a write land in another user's file).
int openOwnFile(const std::string& path, int flags) {
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool ReadSmallFile(const std::string& winPath, size_t maxBytes, std::string& out) {
    out.clear();
    int fd = openOwnFile(ResolvePath(winPath), O_RDONLY);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) <= maxBytes;
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (ok && done < out.size()) {
            ssize_t n = pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += static_cast<size_t>(n);
        }
    }
    close(fd);
    if (!ok)
        out.clear();
    return ok;
}

int64_t FileSizeOf(const std::string& winPath) {
    struct stat st;
    if (lstat(ResolvePath(winPath).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

bool AppendToFile(const std::string& winPath, const std::string& bytes) {
    int fd = openOwnFile(ResolvePath(winPath), O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, bytes);
    return close(fd) == 0 && ok;
}

bool WriteFileDurably(const std::string& winPath, const std::string& bytes) {
    const std::string path = ResolvePath(winPath);
    const std::string temp = path + ".novo";
    // A leftover of a killed write, or something planted at the name, goes
    // first: the new file is made fresh and never through a link.
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, bytes) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    std::string folder = ExtractFilePath(path);
    int dfd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

} // namespace vx::platform
