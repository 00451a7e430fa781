// The extraction pass of the archive component: selection by mask, the
// per-item driver with its events, and the writing of each target file.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>

#include "platform/Dialogs.h"
#include "platform/FileHandle.h"
#include "platform/Files.h"
#include "platform/FolderIndex.h"
#include "platform/NativeFiles.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "zip/ZABaseArchiver.h"
#include "zip/ZACommitQueue.h"
#include "zip/ZAConst.h"
#include "zip/ZADecodeAhead.h"
#include "zip/ZAEntryDecoder.h"
#include "zip/ZAExcept.h"
#include "zip/ZAMasks.h"
#include "zip/ZAStrFunc.h"
#include "zip/ZATempName.h"

namespace vx::zip {

using namespace vx::platform;

using namespace za;

namespace {

std::string withoutTrailingSeparator(std::string s) {
    if (!s.empty() && (s.back() == '/' || s.back() == '\\'))
        s.pop_back();
    return s;
}

// The part up to and including the last '\'.
std::string folderPart(const std::string& s) {
    size_t p = s.find_last_of('\\');
    return p == std::string::npos ? std::string() : s.substr(0, p + 1);
}

std::string afterLastSeparator(const std::string& s) {
    size_t p = s.find_last_of("\\/");
    return p == std::string::npos ? s : s.substr(p + 1);
}

// The working folder as a Windows path; ".\" when its Linux name has no
// CP1252 spelling.
std::string workingFolder() {
    std::error_code ec;
    std::string cwd = std::filesystem::current_path(ec).string();
    if (ec || cwd.empty())
        return ".\\";
    std::string ansi = Utf8ToAnsi(cwd);
    if (AnsiToUtf8(ansi) != cwd)
        return ".\\";
    // A "\" or ":" in a Linux folder name would read as a separator or a
    // drive and send every file somewhere else.
    if (ansi.find_first_of("\\:") != std::string::npos)
        return ".\\";
    return IncludeTrailingBackslash(ansi);
}

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

private:
    static constexpr int64_t Step = 8 << 20;
    THandleStream& file_;
    const bool writeBehind_;
    int64_t written_ = 0, started_ = 0;
};

int32_t dosDateTime(const TDirItem& item) {
    return static_cast<int32_t>((static_cast<uint32_t>(item.ModDate) << 16) | item.ModTime);
}

} // namespace

// --- Selection ---

void TZABaseArchiver::checkCanProcess() const {
    if (!isOpen_)
        throw EZAException::CreateFromCode(TZAError::NotOpen, this);
    if (updateDepth_ > 0)
        throw EZAException::CreateFromCode(TZAError::UpdatePending, this);
}

void TZABaseArchiver::ExtractByMask(const std::string& fileMask, int32_t searchAttr,
                                    const std::string& exclusionMask) {
    checkCanProcess();
    selectByMask(fileMask, searchAttr, exclusionMask);
    processSelected(poExtract);
}

bool TZABaseArchiver::itemPasses(const TDirItem& item, const std::string& mask, int32_t searchAttr) const {
    std::string name = withoutTrailingSeparator(item.Name);
    if (!options_->Recurse) {
        std::string itemFolder = AnsiLowerCase(folderPart(ReplaceChar(name, '/', '\\')));
        std::string maskFolder = AnsiLowerCase(folderPart(ReplaceChar(mask, '/', '\\')));
        if (itemFolder != maskFolder)
            return false;
    }
    if (!MaskMatches(name, mask) && !MaskMatches(afterLastSeparator(name), mask))
        return false;
    return (item.ExternalAttributes & ~static_cast<uint32_t>(searchAttr) & AttrSearchMask) == 0;
}

void TZABaseArchiver::selectByMask(const std::string& fileMask, int32_t searchAttr,
                                   const std::string& exclusionMask) {
    TZADirArray& items = directory_->Items;
    for (int32_t i = 0; i < items.Count(); ++i)
        items.Item(i).Selected = false;
    std::string mask = fileMask;
    std::string drive = ExtractFileDrive(mask);
    if (!drive.empty() && options_->StorePath != spFullPathWithDrive)
        mask = mask.substr(drive.size());
    mask = ReplaceChar(mask, '\\', '/');
    if (mask.size() > MaxMaskLength)
        mask.resize(MaxMaskLength);
    std::string exclusion = ReplaceChar(exclusionMask, '\\', '/');
    for (int32_t i = 0; i < items.Count(); ++i) {
        TDirItem& item = items.Item(i);
        if (!itemPasses(item, mask, searchAttr))
            continue;
        // An exclusion mask, when given, takes out what it matches.
        if (!exclusion.empty()) {
            std::string name = withoutTrailingSeparator(item.Name);
            if (MaskMatches(name, exclusion) || MaskMatches(afterLastSeparator(name), exclusion))
                continue;
        }
        item.Selected = true;
    }
}

// --- The pass ---

void TZABaseArchiver::processSelected(TZAProcessOperation op) {
    std::lock_guard<std::recursive_mutex> lock(ProcessLock());
    folderIndex_ = std::make_unique<TFolderIndex>();
    commits_ = std::make_unique<TZACommitQueue>();
    // Files that need no flush are only renamed: one thread does that, in
    // large batches, so that the pass's thread does not.
    renames_ = std::make_unique<TZACommitQueue>(1, 128, 32);
    foldersMade_.clear();
    targetsWritten_.clear();
    foldersChecked_.clear();
    realFolders_.clear();
    workingFolder_ = workingFolder();
    umask_ = ProcessUmask();
    pid_ = ProcessId();
    passArchiveSize_ = archiveStream_ ? archiveStream_->Size() : -1;
    // Files' times are local times: the zone is read once for the pass, not
    // once per file.
    tzset();
    struct PassEnd {
        TZABaseArchiver& a;
        ~PassEnd() {
            a.decodeAhead_.reset();
            // Waits for the files handed over (on every way out).
            a.commits_.reset();
            a.renames_.reset();
            a.folderIndex_.reset();
            a.foldersMade_.clear();
            a.targetsWritten_.clear();
            a.foldersChecked_.clear();
            a.realFolders_.clear();
            a.flushFolders_.clear();
            a.passArchiveSize_ = -1;
        }
    } passEnd{*this};
    filesDone_ = 0;
    filesToProcess_ = 0;
    cancelRequested_ = false;
    progressActive_ = true;
    TZADirArray& items = directory_->Items;
    for (int32_t i = 0; i < items.Count(); ++i)
        if (items.Item(i).Selected)
            ++filesToProcess_;
    startDecodingAhead(op);
    bool withProgress = op == poExtract || op == poTest;
    TZAAction action = fxaIgnore;
    bool cancel = false;
    if (withProgress) {
        DoOnOverallProgress(0.0, op, ppStart, cancel);
        cancelRequested_ = cancel;
    }
    if (!cancelRequested_) {
        for (int32_t i = 0; i < items.Count(); ++i) {
            if (!items.Item(i).Selected)
                continue;
            items.Item(i).CurrentOperation = op;
            do {
                action = fxaIgnore;
                processItem(i, op, action);
            } while (action == fxaRetry);
            if (action == fxaAbort || cancelRequested_)
                break;
        }
        // Every file is in place before the pass reports its end.
        TZAAction commitAction = fxaIgnore;
        finishCommits(op, commitAction);
        if (commitAction == fxaAbort)
            action = fxaAbort;
        if (withProgress) {
            bool was = cancelRequested_;
            cancel = false;
            DoOnOverallProgress(100.0, op, ppEnd, cancel);
            cancelRequested_ = cancel || was;
        }
    }
    if ((cancelRequested_ || action == fxaAbort) && updateDepth_ > 0)
        updateDepth_ = 0;
}

void TZABaseArchiver::startDecodingAhead(TZAProcessOperation op) {
    // Only plain entries of a single-file archive are decoded ahead; an
    // encrypted one may need the password box, which belongs on the pass's
    // thread, and the others are refused or written without decoding.
    if (!decodeAheadOn_ || op != poExtract || spanningMode_ != smNone || !archiveStream_ ||
        passArchiveSize_ < 0)
        return;
    std::vector<TZADecodeAhead::Job> jobs;
    const TZADirArray& items = directory_->Items;
    jobs.reserve(static_cast<size_t>(filesToProcess_));
    for (int32_t i = 0; i < items.Count(); ++i) {
        const TDirItem& item = items.Item(i);
        if (!item.Selected || (item.Flags & FlagEncrypted) != 0 ||
            (item.Method != MethodStored && item.Method != MethodDeflate) || item.Overlapping ||
            item.NameCut || (item.ExternalAttributes & AttrDirectory) != 0 ||
            (!item.Name.empty() && item.Name.back() == '/'))
            continue;
        // The fields the decoder reads; names and extra fields stay behind.
        TZADecodeAhead::Job& job = jobs.emplace_back();
        job.index = i;
        TDirItem& c = job.item;
        c.Signature = item.Signature;
        c.VersionMadeBy = item.VersionMadeBy;
        c.VersionNeeded = item.VersionNeeded;
        c.Flags = item.Flags;
        c.Method = item.Method;
        c.ModTime = item.ModTime;
        c.ModDate = item.ModDate;
        c.Crc32 = item.Crc32;
        c.CompressedSize = item.CompressedSize;
        c.UncompressedSize = item.UncompressedSize;
        c.NameLength = item.NameLength;
        c.ExtraLength = item.ExtraLength;
        c.CommentLength = item.CommentLength;
        c.DiskStart = item.DiskStart;
        c.InternalAttributes = item.InternalAttributes;
        c.ExternalAttributes = item.ExternalAttributes;
        c.HeaderOffset = item.HeaderOffset;
        c.HasZip64Info = item.HasZip64Info;
        c.UncompressedSize64 = item.UncompressedSize64;
        c.CompressedSize64 = item.CompressedSize64;
        c.HeaderOffset64 = item.HeaderOffset64;
        c.DiskStart64 = item.DiskStart64;
        c.AreaEnd = item.AreaEnd;
    }
    if (!jobs.empty())
        decodeAhead_ = std::make_unique<TZADecodeAhead>(*archiveStream_, passArchiveSize_,
                                                        extractCorruptedFiles_, std::move(jobs));
}

void TZABaseArchiver::processItem(int32_t index, TZAProcessOperation op, TZAAction& action) {
    std::string name = ReplaceChar(directory_->Items.Item(index).Name, '/', '\\');
    try {
        bool confirm = true;
        DoOnConfirmProcessFile(name, op, confirm);
        if (!confirm)
            return;
        std::string destDir = baseDir_.empty() ? workingFolder_ : IncludeTrailingBackslash(baseDir_);
        bool withProgress = op == poExtract || op == poTest;
        if (withProgress) {
            bool cancel = false;
            DoOnFileProgress(name, 0.0, op, ppStart, cancel);
            if (cancel) {
                cancelRequested_ = true;
                return;
            }
        }
        if (op == poExtract)
            extractEntry(index, name, destDir);
        if (withProgress) {
            bool was = cancelRequested_;
            bool cancel = false;
            DoOnFileProgress(name, 100.0, op, ppEnd, cancel);
            cancelRequested_ = cancel || was;
            if (cancelRequested_)
                return;
        }
        ++filesDone_;
    } catch (const EZAException& e) {
        DoOnProcessFileFailure(name, op, e.NativeError(), e.ErrorCode(), e.Message(), action);
    }
}

// --- One entry ---

// Targets compared as the file system here finds them: without regard to
// letter case, either separator.
std::string TZABaseArchiver::targetKey(const std::string& target) const {
    return AnsiLowerCase(ReplaceChar(target, '/', '\\'));
}

void TZABaseArchiver::extractEntry(int32_t index, std::string name, const std::string& destDir) {
    const TDirItem& item = directory_->Items.Item(index);
    uint32_t attr = item.ExternalAttributes;
    // A stored name must not reach outside the folder it is extracted into
    // ("..", a drive, a rooted or "\\" path): such an entry is refused like
    // a target that cannot be created.
    if (IsUnsafeEntryName(name) || item.NameCut)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, this, {PrintableName(name)});
    DoOnExtractFile(name, attr, item.Comment);
    // A name that the program's own handler made a whole path is used as
    // such.
    std::string dir = destDir;
    if (name.find(':') != std::string::npos || name.find("\\\\") != std::string::npos)
        dir.clear();
    if (!options_->CreateDirs)
        name = afterLastSeparator(name);
    // Files the run keeps as its way back (the program's backup) are not
    // replaced by an entry, whatever the archive says.
    if (isProtected(dir, name))
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, this, {PrintableName(name)});
    // A symbolic link already in the folder, where an entry's folder or
    // file goes, is not followed out of it.
    if (!dir.empty() && leadsOutside(dir, name))
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, this, {PrintableName(dir + name)});
    if (options_->CreateDirs)
        ensureFolder(dir + folderPart(name));
    if ((item.ExternalAttributes & AttrDirectory) != 0)
        return;
    if (!item.Name.empty() && item.Name.back() == '/')
        return;
    std::string target = dir + name;
    // Names that differ in the archive can meet on disk (letter case, or
    // characters the code page lacks, which all become "_"): the second
    // entry would silently replace the first.
    if (targetsWritten_.count(targetKey(target)))
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, this, {PrintableName(target)});
    bool exists = false;
    if (!targetMayBeReplaced(item, name, target, exists))
        return;
    writeEntryFile(index, target, attr);
    targetsWritten_.insert(targetKey(target));
}

bool TZABaseArchiver::isProtected(const std::string& dir, const std::string& name) const {
    if (protectedNames_.empty())
        return false;
    const std::string key = targetKey(withoutDotSteps(dir + name));
    for (const std::string& p : protectedNames_)
        if (targetKey(withoutDotSteps(dir + p)) == key)
            return true;
    return false;
}

bool TZABaseArchiver::leadsOutside(const std::string& dir, const std::string& name) {
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

void TZABaseArchiver::ensureFolder(const std::string& folder) {
    if (folder.empty() || foldersMade_.count(folder))
        return;
    bool made = false;
    try {
        made = folderIndex_->MakeFolder(folder);
    } catch (...) {
        made = false;
    }
    if (!made)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFolder, this, {PrintableName(folder)});
    foldersMade_.insert(folder);
}

// A name beside the target for decoding into, unused so far. Beside it,
// so that the rename into place never crosses file systems.
std::string TZABaseArchiver::temporaryBeside(const std::string& target) {
    static std::atomic<unsigned long> counter{0};
    std::string folder = ExtractFilePath(target);
    for (;;) {
        std::string candidate = folder + ExtractionTemporaryName(pid_, ++counter);
        if (!folderIndex_->Find(candidate).exists)
            return candidate;
    }
}

bool TZABaseArchiver::targetMayBeReplaced(const TDirItem& item, const std::string& name, std::string& target,
                                          bool& exists) {
    TFolderIndex::Entry found = folderIndex_->Find(target);
    exists = found.exists && !found.isDirectory;
    if (!exists)
        return true;
    if (!options_->ReplaceReadOnly && (FileGetAttr(target) & faReadOnly) != 0)
        return false;
    switch (options_->OverwriteMode) {
    case omPrompt: {
        bool confirm = false;
        std::string asked = target;
        DoOnConfirmOverwrite(name, target, confirm);
        if (confirm && target != asked) {
            TFolderIndex::Entry other = folderIndex_->Find(target);
            exists = other.exists && !other.isDirectory;
        }
        return confirm;
    }
    case omAlways:
        return true;
    case omNever:
        return false;
    case omIfNewer:
    case omIfOlder: {
        // Packed DOS times compare as unsigned: from 2044 on the year sets
        // the top bit. A date that cannot be read counts as the oldest.
        const int32_t have = FileGetDate(target);
        if (have == -1)
            return options_->OverwriteMode == omIfNewer;
        const uint32_t ours = static_cast<uint32_t>(have), theirs = static_cast<uint32_t>(dosDateTime(item));
        return options_->OverwriteMode == omIfNewer ? ours < theirs : ours > theirs;
    }
    }
    return true;
}

void TZABaseArchiver::writeEntryFile(int32_t index, const std::string& target, uint32_t attr) {
    // A folder where the file would go cannot be replaced by it.
    if (folderIndex_->Find(target).isDirectory)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, this, {PrintableName(target)});
    // Every entry is decoded into a temporary beside its target and renamed
    // into place only once it has passed its checks and is on the disk: a
    // run killed at any moment leaves the old file or the whole new one
    // under the entry's name, never a part of it.
    const std::string outPath = temporaryBeside(target);
    // Made through the index: the folder is not read again for each file.
    std::unique_ptr<THandleStream> file = folderIndex_->CreateNewFile(outPath);
    if (!file)
        throw EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, this, {PrintableName(target)});
    auto remove = [&]() {
        file.reset();
        DeleteFile(outPath);
        folderIndex_->Removed(outPath);
    };
    const TDirItem& item = directory_->Items.Item(index);
    const std::string& tempPath = file->LinuxPath();
    const std::string folder = tempPath.substr(0, tempPath.find_last_of(kNativeSeparator) + 1);
    auto flushKnown = flushFolders_.find(folder);
    if (flushKnown == flushFolders_.end())
        flushKnown = flushFolders_.emplace(folder, TZACommitQueue::FolderNeedsFlush(folder)).first;
    const bool flush = flushKnown->second;
    try {
        TWriteBehindStream out(*file, flush);
        ExtractEntryToStream(index, out);
    } catch (...) {
        remove();
        throw;
    }
    if (skipEntry_ || cancelRequested_) {
        remove();
        return;
    }
    // Time and attributes go through the open file; the file is new, so
    // there are no old attributes to clear.
    if (options_->SetAttributes) {
        // Entries made on Unix carry their permission bits. They pass
        // through the umask as a new file's would; set-id and sticky bits,
        // and writing by others, are never taken from an archive.
        uint32_t mode = attr >> 16;
        uint32_t type = mode & 0170000;
        bool unixMode =
            (item.VersionMadeBy >> 8) == HostUnix && (mode & 0777) != 0 && (type == 0 || type == 0100000);
        uint32_t allowed = mode & 0777 & ~static_cast<uint32_t>(umask_) & ~uint32_t{0002}; // others' write
        FileSetNewAttrHandle(file->Handle(), 0666 & ~umask_, attr & ~faDirectory,
                             unixMode && allowed != 0 ? allowed : 0);
    }
    FileSetDateHandle(file->Handle(), dosDateTime(item));
    // The data reaches the disk before the name does (otherwise a power
    // loss could leave the new name on an empty file); the commit queue
    // flushes and renames while the next entries are decoded.
    TZACommitQueue::Job job;
    job.from = file->LinuxPath();
    job.fd = file->Release();
    file.reset();
    const TFolderIndex::Entry old = folderIndex_->Find(target);
    job.to = folderIndex_->PathAsWritten(target);
    if (old.exists && old.linuxPath != job.to)
        job.oldSpelling = old.linuxPath;
    const size_t slash = job.to.find_last_of(kNativeSeparator);
    job.folder = slash == std::string::npos ? "." : job.to.substr(0, slash + 1);
    job.index = index;
    job.flush = flush;
    folderIndex_->Removed(outPath);
    if (!job.oldSpelling.empty())
        folderIndex_->Removed(target);
    folderIndex_->Added(target);
    (job.flush ? commits_ : renames_)->Submit(std::move(job));
}

void TZABaseArchiver::finishCommits(TZAProcessOperation op, TZAAction& action) {
    // Files whose flush or rename failed go to the failure box now; a
    // retry extracts the entry again.
    for (;;) {
        std::vector<TZACommitQueue::Job> failed = commits_->Drain();
        for (TZACommitQueue::Job& job : renames_->Drain())
            failed.push_back(std::move(job));
        if (failed.empty())
            return;
        // The index took the renames for done.
        folderIndex_->Clear();
        for (const TZACommitQueue::Job& job : failed) {
            TDirItem& item = directory_->Items.Item(job.index);
            std::string name = ReplaceChar(item.Name, '/', '\\');
            targetsWritten_.clear();
            EZAException e = EZAException::CreateFromCodeFmt(TZAError::CannotCreateFile, this,
                                                             {PrintableName(AnsiToUtf8(job.to))});
            action = fxaIgnore;
            DoOnProcessFileFailure(name, op, e.NativeError(), e.ErrorCode(), e.Message(), action);
            if (action == fxaAbort)
                return;
            if (action == fxaRetry) {
                --filesDone_;
                do {
                    action = fxaIgnore;
                    processItem(job.index, op, action);
                } while (action == fxaRetry);
            }
        }
    }
}

void TZABaseArchiver::ExtractEntryToStream(int32_t index, TStream& output) {
    if (!isOpen_ || !directory_ || !archiveStream_)
        throw EZAException::CreateFromCode(TZAError::NotOpen, this);
    TZADirArray& items = directory_->Items;
    if (index < 0 || index >= items.Count())
        throw EZAException::CreateFromCode(TZAError::EntryIndex, this);
    TDirItem& item = items.Item(index);
    TZAVolumeNumberInfo volume;
    volume.Kind = TZAVolumeKind::vnkNumbered;
    if (directory_->HasZip64End) {
        volume.VolumeNumber = item.DiskStart64;
        volume.LastVolumeNumber = static_cast<int32_t>(ReadU32LE(&directory_->Zip64Locator[16])) - 1;
    } else {
        volume.VolumeNumber = item.DiskStart;
        volume.LastVolumeNumber = directory_->EndRecord.DiskNumber;
    }
    MakeVolumeCurrent(volume);
    // Entries that share their data with another, or reach into the
    // directory, are refused before anything of them is written.
    if (item.Overlapping)
        throw EZAException::CreateFromCode(TZAError::BadEntryData, this);
    TZADecodeContext context;
    context.ArchiveSize = passArchiveSize_;
    context.WholeBuffer = true;
    context.Password = &password_;
    context.KeepExcessOutput = extractCorruptedFiles_;
    context.AreaEnd = item.AreaEnd;
    entryTotal_ = static_cast<double>(item.RealCompressedSize());
    context.Progress = [&](double position, double total) {
        entryPosition_ = position;
        entryTotal_ = total;
        return reportEntryProgress(item);
    };
    context.AskPassword = [&](std::string& password) {
        bool skip = false;
        DoOnPassword(item.Name, password, skip);
        return !skip;
    };
    skipEntry_ = false;
    std::optional<TZADecodeResult> result;
    if (decodeAhead_)
        result = decodeAhead_->Take(index, output, context.Progress);
    if (!result) {
        TZAEntryDecoder decoder(context, *archiveStream_, output, item);
        result = decoder.Decode(static_cast<int64_t>(item.RealHeaderOffset()));
    }
    switch (*result) {
    case TZADecodeResult::Ok:
        return;
    case TZADecodeResult::Skipped:
        skipEntry_ = true;
        return;
    case TZADecodeResult::Cancelled:
        cancelRequested_ = true;
        return;
    case TZADecodeResult::Deflate64:
        // Raised without the component's name, as it always was.
        throw EZAException::CreateFromCode(TZAError::Deflate64, nullptr);
    case TZADecodeResult::SizeMismatch:
    case TZADecodeResult::CrcMismatch:
    case TZADecodeResult::Truncated:
    case TZADecodeResult::CorruptData:
        // Output that fails its checks is kept as written when asked for.
        if (extractCorruptedFiles_)
            return;
        break;
    case TZADecodeResult::BadLocalHeader:
    case TZADecodeResult::DataOutOfBounds:
    case TZADecodeResult::Unsupported:
    case TZADecodeResult::WriteFailed:
    case TZADecodeResult::DecoderInitFailed:
        break;
    }
    throw EZAException::CreateFromCode(TZAError::BadEntryData, this);
}

bool TZABaseArchiver::reportEntryProgress(const TDirItem& item) {
    if (!progressActive_)
        return true;
    double fraction = entryTotal_ > 0 ? entryPosition_ / entryTotal_ : 0.0;
    auto op = static_cast<TZAProcessOperation>(item.CurrentOperation);
    bool cancel = false;
    DoOnFileProgress(item.Name, fraction * 100.0, op, ppProcess, cancel);
    if (cancel) {
        cancelRequested_ = true;
        return false;
    }
    double files = filesToProcess_;
    DoOnOverallProgress((fraction + filesDone_) / files * 100.0, op, ppProcess, cancel);
    if (cancel) {
        cancelRequested_ = true;
        return false;
    }
    return true;
}

// --- Default boxes ---

void TZABaseArchiver::DoOnConfirmOverwrite(const std::string& sourceFileName, std::string& destFileName,
                                           bool& confirm) {
    if (OnConfirmOverwrite) {
        OnConfirmOverwrite(this, sourceFileName, destFileName, confirm);
        return;
    }
    TDialogRequest box;
    box.title = Txt(SConfirmTitle);
    box.text = Format(SOverwriteFile, PrintableName(destFileName), PrintableName(sourceFileName));
    box.icon = TDialogIcon::Question;
    box.buttons = {{mrYes, Txt(SBtnYes)},
                   {mrNo, Txt(SBtnNo)},
                   {mrNoToAll, Txt(SBtnNoToAll)},
                   {mrYesToAll, Txt(SBtnYesToAll)}};
    box.defaultResult = mrNo;
    switch (Dialogs().Show(box)) {
    case mrYes:
        confirm = true;
        break;
    case mrYesToAll:
        confirm = true;
        options_->OverwriteMode = omAlways;
        break;
    case mrNoToAll:
        confirm = false;
        options_->OverwriteMode = omNever;
        break;
    default:
        confirm = false;
        break;
    }
}

void TZABaseArchiver::DoOnProcessFileFailure(const std::string& fileName, TZAProcessOperation op,
                                             int32_t nativeError, int32_t errorCode,
                                             const std::string& errorMessage, TZAAction& action) {
    if (OnProcessFileFailure) {
        OnProcessFileFailure(this, fileName, op, nativeError, errorCode, errorMessage, action);
        return;
    }
    TDialogRequest box;
    box.title = Txt(SConfirmTitle);
    box.text = Format(SProcessFileFailure, errorMessage);
    box.icon = TDialogIcon::Question;
    box.buttons = {{mrAbort, Txt(SBtnAbort)}, {mrRetry, Txt(SBtnRetry)}, {mrIgnore, Txt(SBtnIgnore)}};
    // Closing the box without an answer stops the pass rather than retry.
    box.defaultResult = mrAbort;
    switch (Dialogs().Show(box)) {
    case mrRetry:
        action = fxaRetry;
        break;
    case mrIgnore:
        action = fxaIgnore;
        break;
    default:
        action = fxaAbort;
        break;
    }
}

void TZABaseArchiver::DoOnPassword(const std::string& fileName, std::string& newPassword, bool& skipFile) {
    if (OnPassword) {
        OnPassword(this, fileName, newPassword, skipFile);
        return;
    }
    std::string value = newPassword;
    if (Dialogs().InputQuery(Format(SPasswordFor, PrintableName(fileName)), SEnterPassword, value))
        newPassword = value;
    else
        skipFile = true;
}

} // namespace vx::zip
