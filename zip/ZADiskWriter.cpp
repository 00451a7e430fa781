#include "zip/ZADiskWriter.h"

#include <algorithm>
#include <atomic>
#include <ctime>

#include "platform/NativeFiles.h"
#include "platform/FileHandle.h"
#include "platform/Files.h"
#include "platform/FolderIndex.h"
#include "platform/Text.h"
#include "zip/ZAConst.h"
#include "zip/ZADeferredCommit.h"
#include "zip/ZAExcept.h"
#include "zip/ZAStrFunc.h"
#include "zip/ZATempName.h"

namespace vx::zip {

using namespace vx::platform;

using namespace za;

namespace {

// A Windows path with its "." steps and doubled separators taken out, so
// that ".\Vendarix.bkp" and "Vendarix.bkp" compare alike.
std::string withoutDotSteps(const std::string& path) {
    std::string out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find_first_of("\\/", i);
        if (j == std::string::npos)
            j = path.size();
        std::string part = path.substr(i, j - i);
        bool last = j == path.size();
        if (part != "." && (!part.empty() || i == 0))
            out += part + (last ? "" : "\\");
        i = j + 1;
    }
    return out;
}

// Targets compared as the file system here finds them: without regard to
// letter case, either separator.
std::string targetKey(const std::string& target) {
    return AnsiLowerCase(ReplaceChar(target, '/', '\\'));
}

// The output of one entry into its temporary. Where the file is flushed
// before its rename, writing back to the disk is started every few
// megabytes as the file grows, so that a large file's flush does not wait
// for all of it at the end.
class TWriteBehindStream : public TStream {
public:
    TWriteBehindStream(THandleStream& file, bool writeBehind) : file_(file), writeBehind_(writeBehind) {}
    int64_t Read(void* buffer, int64_t count) override { return file_.Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override {
        const int64_t n = file_.Write(buffer, count);
        written_ += std::max<int64_t>(n, 0);
        if (writeBehind_ && written_ - started_ >= Step) {
            StartWriteBack(file_.Handle(), started_, written_ - started_);
            started_ = written_;
        }
        return n;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        const int64_t p = file_.Seek(offset, origin);
        if (p >= 0)
            written_ = started_ = p;
        return p;
    }
    void SetSize(int64_t size) override { file_.SetSize(size); }
    int64_t Written() const { return written_; }

private:
    static constexpr int64_t Step = 8 << 20;
    THandleStream& file_;
    const bool writeBehind_;
    int64_t written_ = 0, started_ = 0;
};

} // namespace

TZADiskWriter::TZADiskWriter(const TComponent* reporter, std::vector<std::string> protectedNames)
    : reporter_(reporter), protectedNames_(std::move(protectedNames)), umask_(ProcessUmask()),
      pid_(ProcessId()), folderIndex_(std::make_unique<TFolderIndex>()),
      commit_(std::make_unique<TZADeferredCommit>()) {
    // Files' times are local times: the zone is read once for the pass, not
    // once per file.
    tzset();
}

// The commit goes first: it puts the files in place before the index that
// knew of them is gone.
TZADiskWriter::~TZADiskWriter() {
    commit_.reset();
}

void TZADiskWriter::CheckStoredName(const std::string& name, bool nameCut) const {
    // A stored name must not reach outside the folder it is extracted into
    // ("..", a drive, a rooted or "\\" path): such an entry is refused like
    // a target that cannot be created.
    if (IsUnsafeEntryName(name) || nameCut)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, reporter_, {PrintableName(name)});
}

void TZADiskWriter::CheckTarget(const std::string& dir, const std::string& name) {
    // Files the run keeps as its way back (the program's backup) are not
    // replaced by an entry, whatever the archive says.
    if (isProtected(dir, name))
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, reporter_, {PrintableName(name)});
    // A symbolic link already in the folder, where an entry's folder or
    // file goes, is not followed out of it.
    if (!dir.empty() && leadsOutside(dir, name))
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, reporter_,
                                              {PrintableName(dir + name)});
}

void TZADiskWriter::CheckFirstForTarget(const std::string& target) const {
    // Names that differ in the archive can meet on disk (letter case, or
    // characters the code page lacks, which all become "_"): the second
    // entry would silently replace the first.
    if (targetsWritten_.count(targetKey(target)))
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, reporter_, {PrintableName(target)});
}

bool TZADiskWriter::FileExists(const std::string& target) {
    TFolderIndex::Entry found = folderIndex_->Find(target);
    return found.exists && !found.isDirectory;
}

bool TZADiskWriter::isProtected(const std::string& dir, const std::string& name) const {
    if (protectedNames_.empty())
        return false;
    const std::string key = targetKey(withoutDotSteps(dir + name));
    for (const std::string& p : protectedNames_)
        if (targetKey(withoutDotSteps(dir + p)) == key)
            return true;
    return false;
}

bool TZADiskWriter::leadsOutside(const std::string& dir, const std::string& name) {
    auto real = [](const std::string& nativePath, std::string& out) {
        return RealNativePath(nativePath, out);
    };
    // The folder itself is resolved once: the pass only makes folders and
    // files below it, so what it leads to cannot change under the pass.
    auto known = realFolders_.find(dir);
    if (known == realFolders_.end()) {
        std::string resolved;
        if (!real(ResolvePath(dir), resolved))
            return false; // the folder itself does not exist yet: nothing to follow
        known = realFolders_.emplace(dir, std::move(resolved)).first;
    }
    const std::string& base = known->second;
    const std::string inside =
        !base.empty() && base.back() == kNativeSeparator ? base : base + kNativeSeparator;
    // Each step below the folder, the file itself last. A step that is a
    // link must stay inside the folder; a dangling one counts as outside.
    // A folder step found safe is not looked at again in the pass; the file
    // itself always is.
    size_t from = 0;
    for (;;) {
        size_t sep = name.find_first_of("\\/", from);
        bool leaf = sep == std::string::npos;
        std::string step = dir + (leaf ? name : name.substr(0, sep));
        if (leaf || !foldersChecked_.count(step)) {
            TFolderIndex::Entry e = folderIndex_->Find(step);
            if (e.exists && IsNativeLink(e.linuxPath)) {
                std::string to;
                if (!real(e.linuxPath, to) || (to != base && to.rfind(inside, 0) != 0))
                    return true;
            }
            if (!leaf)
                foldersChecked_.insert(step);
        }
        if (leaf)
            return false;
        from = sep + 1;
    }
}

void TZADiskWriter::MakeFolder(const std::string& folder) {
    if (folder.empty() || foldersMade_.count(folder))
        return;
    bool made = false;
    try {
        made = folderIndex_->MakeFolder(folder);
    } catch (...) {
        made = false;
    }
    if (!made)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFolder, reporter_,
                                              {PrintableName(folder)});
    foldersMade_.insert(folder);
}

// A name beside the target for decoding into, unused so far. Beside it,
// so that the rename into place never crosses file systems.
std::string TZADiskWriter::temporaryBeside(const std::string& target) {
    static std::atomic<unsigned long> counter{0};
    std::string folder = ExtractFilePath(target);
    for (;;) {
        std::string candidate = folder + ExtractionTemporaryName(pid_, ++counter);
        if (!folderIndex_->Find(candidate).exists)
            return candidate;
    }
}

bool TZADiskWriter::needsFlush(const std::string& linuxFolder) {
    auto known = flushFolders_.find(linuxFolder);
    if (known == flushFolders_.end())
        known = flushFolders_.emplace(linuxFolder, FolderNeedsFlush(linuxFolder)).first;
    return known->second;
}

void TZADiskWriter::WriteFile(const std::string& target, const FileFacts& facts,
                              const std::function<bool(TStream& out)>& decode) {
    // A folder where the file would go cannot be replaced by it.
    if (folderIndex_->Find(target).isDirectory)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, reporter_, {PrintableName(target)});
    // Every entry is decoded into a temporary beside its target and renamed
    // into place only once it has passed its checks and is on the disk: a
    // run killed at any moment leaves the old file or the whole new one
    // under the entry's name, never a part of it.
    const std::string outPath = temporaryBeside(target);
    // Made through the index: the folder is not read again for each file.
    std::unique_ptr<THandleStream> file = folderIndex_->CreateNewFile(outPath);
    if (!file)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, reporter_, {PrintableName(target)});
    auto remove = [&]() {
        file.reset();
        DeleteFile(outPath);
        folderIndex_->Removed(outPath);
    };
    const std::string& tempPath = file->LinuxPath();
    const bool flush = needsFlush(tempPath.substr(0, tempPath.find_last_of(kNativeSeparator) + 1));
    bool keep = false;
    int64_t written = 0;
    try {
        TWriteBehindStream out(*file, flush);
        keep = decode(out);
        written = out.Written();
    } catch (...) {
        remove();
        throw;
    }
    if (!keep) {
        remove();
        targetsWritten_.insert(targetKey(target));
        return;
    }
    // Time and attributes go through the open file; the file is new, so
    // there are no old attributes to clear.
    const uint32_t attr = facts.attributes;
    if (facts.setAttributes) {
        // Entries made on Unix carry their permission bits. They pass
        // through the umask as a new file's would; set-id and sticky bits,
        // and writing by others, are never taken from an archive.
        uint32_t mode = attr >> 16;
        uint32_t type = mode & 0170000;
        bool unixMode =
            (facts.versionMadeBy >> 8) == HostUnix && (mode & 0777) != 0 && (type == 0 || type == 0100000);
        uint32_t allowed = mode & 0777 & ~umask_ & ~uint32_t{0002}; // others' write
        FileSetNewAttrHandle(file->Handle(), 0666 & ~umask_, attr & ~faDirectory,
                             unixMode && allowed != 0 ? allowed : 0);
    }
    FileSetDateHandle(file->Handle(), facts.dosTime);
    // The data reaches the disk before the name does (otherwise a power
    // loss could leave the new name on an empty file); the commit flushes
    // and renames it a batch later, while the next entries are written.
    TZADeferredCommit::Job job;
    job.from = file->LinuxPath();
    job.fd = file->Release();
    file.reset();
    const TFolderIndex::Entry old = folderIndex_->Find(target);
    job.to = folderIndex_->PathAsWritten(target);
    if (old.exists && old.linuxPath != job.to)
        job.oldSpelling = old.linuxPath;
    const size_t slash = job.to.find_last_of(kNativeSeparator);
    job.folder = slash == std::string::npos ? "." : job.to.substr(0, slash + 1);
    job.index = facts.index;
    job.flush = flush;
    job.bytes = written;
    folderIndex_->Removed(outPath);
    if (!job.oldSpelling.empty())
        folderIndex_->Removed(target);
    folderIndex_->Added(target);
    commit_->Add(std::move(job));
    targetsWritten_.insert(targetKey(target));
}

std::vector<TZADiskWriter::Failure> TZADiskWriter::FinishCommits() {
    std::vector<Failure> failures;
    for (TZADeferredCommit::Job& job : commit_->Finish())
        failures.push_back({job.index, std::move(job.to)});
    if (!failures.empty()) {
        // The index took the renames for done, and a retry writes the
        // targets again.
        folderIndex_->Clear();
        targetsWritten_.clear();
    }
    return failures;
}

} // namespace vx::zip
