#include "zip/ZAExtractionPass.h"

#include <filesystem>

#include "platform/Files.h"
#include "platform/Text.h"
#include "zip/ZAConst.h"
#include "zip/ZADecodeAhead.h"
#include "zip/ZADiskWriter.h"
#include "zip/ZAExcept.h"
#include "zip/ZAStrFunc.h"

namespace vx::zip {

using namespace vx::platform;

using namespace za;

namespace {

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

int32_t dosDateTime(const TDirItem& item) {
    return static_cast<int32_t>((static_cast<uint32_t>(item.ModDate) << 16) | item.ModTime);
}

} // namespace

TZAExtractionPass::TZAExtractionPass(TZABaseArchiver& archiver, TZAProcessOperation op)
    : archiver_(archiver), op_(op), withProgress_(op == poExtract || op == poTest),
      workingFolder_(workingFolder()),
      archiveSize_(archiver.archiveStream_ ? archiver.archiveStream_->Size() : -1),
      writer_(std::make_unique<TZADiskWriter>(&archiver, archiver.protectedNames_)) {}

TZAExtractionPass::~TZAExtractionPass() {
    decodeAhead_.reset();
    // Waits for the files written (on every way out).
    writer_.reset();
}

void TZAExtractionPass::Run() {
    state_ = TZARunState();
    TZADirArray& items = archiver_.directory_->Items;
    for (int32_t i = 0; i < items.Count(); ++i)
        if (items.Item(i).Selected)
            ++state_.FilesToProcess;
    startDecodingAhead();
    TZAAction action = fxaIgnore;
    bool cancel = false;
    if (withProgress_) {
        archiver_.DoOnOverallProgress(0.0, op_, ppStart, cancel);
        state_.CancelRequested = cancel;
    }
    if (!state_.CancelRequested) {
        for (int32_t i = 0; i < items.Count(); ++i) {
            if (!items.Item(i).Selected)
                continue;
            items.Item(i).CurrentOperation = op_;
            do {
                action = fxaIgnore;
                processItem(i, action);
            } while (action == fxaRetry);
            if (action == fxaAbort || state_.CancelRequested)
                break;
        }
        // Every file is in place before the pass reports its end.
        TZAAction commitAction = fxaIgnore;
        finishCommits(commitAction);
        if (commitAction == fxaAbort)
            action = fxaAbort;
        if (withProgress_) {
            bool was = state_.CancelRequested;
            cancel = false;
            archiver_.DoOnOverallProgress(100.0, op_, ppEnd, cancel);
            state_.CancelRequested = cancel || was;
        }
    }
    if ((state_.CancelRequested || action == fxaAbort) && archiver_.updateDepth_ > 0)
        archiver_.updateDepth_ = 0;
}

void TZAExtractionPass::startDecodingAhead() {
    // Only plain entries of a single-file archive are decoded ahead; an
    // encrypted one may need the password box, which belongs on the pass's
    // thread, and the others are refused or written without decoding.
    if (!archiver_.decodeAheadOn_ || op_ != poExtract || archiver_.spanningMode_ != smNone ||
        !archiver_.archiveStream_ || archiveSize_ < 0)
        return;
    std::vector<TZADecodeAhead::Job> jobs;
    const TZADirArray& items = archiver_.directory_->Items;
    jobs.reserve(static_cast<size_t>(state_.FilesToProcess));
    for (int32_t i = 0; i < items.Count(); ++i) {
        const TDirItem& item = items.Item(i);
        if (!item.Selected || (item.Flags & FlagEncrypted) != 0 ||
            (item.Method != MethodStored && item.Method != MethodDeflate) || item.Overlapping ||
            item.NameCut || (item.ExternalAttributes & AttrDirectory) != 0 ||
            (!item.Name.empty() && item.Name.back() == '/'))
            continue;
        // A copy: the decoding thread never reads the directory, which an
        // event handler of the pass may change or close.
        jobs.push_back({i, item});
    }
    if (!jobs.empty())
        decodeAhead_ = std::make_unique<TZADecodeAhead>(*archiver_.archiveStream_, archiveSize_,
                                                        archiver_.extractCorruptedFiles_, std::move(jobs));
}

void TZAExtractionPass::processItem(int32_t index, TZAAction& action) {
    std::string name = ReplaceChar(archiver_.directory_->Items.Item(index).Name, '/', '\\');
    try {
        bool confirm = true;
        archiver_.DoOnConfirmProcessFile(name, op_, confirm);
        if (!confirm)
            return;
        std::string destDir =
            archiver_.baseDir_.empty() ? workingFolder_ : IncludeTrailingBackslash(archiver_.baseDir_);
        if (withProgress_) {
            bool cancel = false;
            archiver_.DoOnFileProgress(name, 0.0, op_, ppStart, cancel);
            if (cancel) {
                state_.CancelRequested = true;
                return;
            }
        }
        if (op_ == poExtract)
            extractEntry(index, name, destDir);
        if (withProgress_) {
            bool was = state_.CancelRequested;
            bool cancel = false;
            archiver_.DoOnFileProgress(name, 100.0, op_, ppEnd, cancel);
            state_.CancelRequested = cancel || was;
            if (state_.CancelRequested)
                return;
        }
        ++state_.FilesDone;
    } catch (const EZAException& e) {
        archiver_.DoOnProcessFileFailure(name, op_, e.NativeError(), e.ErrorCode(), e.Message(), action);
    }
}

void TZAExtractionPass::extractEntry(int32_t index, std::string name, const std::string& destDir) {
    const TDirItem& item = archiver_.directory_->Items.Item(index);
    const TZAOptions& options = archiver_.Options();
    uint32_t attr = item.ExternalAttributes;
    writer_->CheckStoredName(name, item.NameCut);
    archiver_.DoOnExtractFile(name, attr, item.Comment);
    // A name that the program's own handler made a whole path is used as
    // such.
    std::string dir = destDir;
    if (name.find(':') != std::string::npos || name.find("\\\\") != std::string::npos)
        dir.clear();
    if (!options.CreateDirs)
        name = AfterLastSeparator(name);
    writer_->CheckTarget(dir, name);
    if (options.CreateDirs)
        writer_->MakeFolder(dir + FolderPart(name));
    if ((item.ExternalAttributes & AttrDirectory) != 0)
        return;
    if (!item.Name.empty() && item.Name.back() == '/')
        return;
    std::string target = dir + name;
    writer_->CheckFirstForTarget(target);
    if (!targetMayBeReplaced(item, name, target))
        return;
    TZADiskWriter::FileFacts facts;
    facts.index = index;
    facts.attributes = attr;
    facts.versionMadeBy = item.VersionMadeBy;
    facts.dosTime = dosDateTime(item);
    facts.setAttributes = options.SetAttributes;
    writer_->WriteFile(target, facts, [&](TStream& out) { return decodeEntry(index, out); });
}

bool TZAExtractionPass::targetMayBeReplaced(const TDirItem& item, const std::string& name,
                                            std::string& target) {
    if (!writer_->FileExists(target))
        return true;
    TZAOptions& options = archiver_.Options();
    if (!options.ReplaceReadOnly && (FileGetAttr(target) & faReadOnly) != 0)
        return false;
    switch (options.OverwriteMode) {
    case omPrompt: {
        bool confirm = false;
        archiver_.DoOnConfirmOverwrite(name, target, confirm);
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
            return options.OverwriteMode == omIfNewer;
        const uint32_t ours = static_cast<uint32_t>(have), theirs = static_cast<uint32_t>(dosDateTime(item));
        return options.OverwriteMode == omIfNewer ? ours < theirs : ours > theirs;
    }
    }
    return true;
}

bool TZAExtractionPass::decodeEntry(int32_t index, TStream& out) {
    const TDirItem& item = archiver_.directory_->Items.Item(index);
    TZABaseArchiver::EntryRead read;
    read.ArchiveSize = archiveSize_;
    read.Ahead = decodeAhead_.get();
    read.Progress = [&](double position, double total) { return reportEntryProgress(item, position, total); };
    state_.SkipEntry = false;
    switch (archiver_.decodeEntry(index, out, read)) {
    case TZABaseArchiver::EntryOutcome::Written:
        break;
    case TZABaseArchiver::EntryOutcome::Skipped:
        state_.SkipEntry = true;
        break;
    case TZABaseArchiver::EntryOutcome::Cancelled:
        state_.CancelRequested = true;
        break;
    }
    return !state_.SkipEntry && !state_.CancelRequested;
}

bool TZAExtractionPass::reportEntryProgress(const TDirItem& item, double position, double total) {
    double fraction = total > 0 ? position / total : 0.0;
    auto op = static_cast<TZAProcessOperation>(item.CurrentOperation);
    bool cancel = false;
    archiver_.DoOnFileProgress(item.Name, fraction * 100.0, op, ppProcess, cancel);
    if (cancel) {
        state_.CancelRequested = true;
        return false;
    }
    double files = state_.FilesToProcess;
    archiver_.DoOnOverallProgress((fraction + state_.FilesDone) / files * 100.0, op, ppProcess, cancel);
    if (cancel) {
        state_.CancelRequested = true;
        return false;
    }
    return true;
}

void TZAExtractionPass::finishCommits(TZAAction& action) {
    // Files whose flush or rename failed go to the failure box now; a
    // retry extracts the entry again.
    for (;;) {
        std::vector<TZADiskWriter::Failure> failed = writer_->FinishCommits();
        if (failed.empty())
            return;
        for (const TZADiskWriter::Failure& failure : failed) {
            TDirItem& item = archiver_.directory_->Items.Item(failure.index);
            std::string name = ReplaceChar(item.Name, '/', '\\');
            EZAException e = EZAException::CreateFromCodeFmt(
                TZAError::CannotCreateFile, &archiver_, {PrintableName(AnsiToUtf8(failure.linuxTarget))});
            action = fxaIgnore;
            archiver_.DoOnProcessFileFailure(name, op_, e.NativeError(), e.ErrorCode(), e.Message(), action);
            if (action == fxaAbort)
                return;
            if (action == fxaRetry) {
                --state_.FilesDone;
                do {
                    action = fxaIgnore;
                    processItem(failure.index, action);
                } while (action == fxaRetry);
            }
        }
    }
}

} // namespace vx::zip
