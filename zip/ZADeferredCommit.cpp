#include "zip/ZADeferredCommit.h"

#include <map>
#include <memory>

#include "platform/NativeFiles.h"

namespace vx::zip {

using namespace vx::platform;

namespace {

std::string nameIn(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

// The folder part as the extraction spells a job's folder.
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

} // namespace

TZADeferredCommit::TZADeferredCommit(size_t batchFiles, int64_t batchBytes)
    : batchFiles_(batchFiles == 0 ? 1 : batchFiles), batchBytes_(batchBytes <= 0 ? 1 : batchBytes) {}

// Puts in place what is left and stops the thread. What it could raise
// (memory running out) has nowhere to go from a destructor.
TZADeferredCommit::~TZADeferredCommit() {
    try {
        Finish();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void TZADeferredCommit::Add(Job job) {
    if (job.flush)
        StartWriteBack(job.fd);
    fillingBytes_ += job.bytes;
    filling_.push_back(std::move(job));
    if (filling_.size() < batchFiles_ && fillingBytes_ < batchBytes_)
        return;
    // The batch before this one has been flushing while this one filled;
    // the pass waits only if the disk is still behind, which also bounds
    // the handles open to two batches.
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
    // Started first, so that a thread that cannot be had leaves the batch
    // here, for Finish to commit on the pass's thread.
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    committing_.swap(filling_); // filling_ gets the emptied batch back
    fillingBytes_ = 0;
    busy_ = true;
    wake_.notify_one();
}

std::vector<TZADeferredCommit::Job> TZADeferredCommit::Finish() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        waitIdle(lock);
    }
    // The last batch, not full, goes on the pass's thread: the pass waits
    // for it and the folders anyway before it reports the files done.
    commit(filling_);
    fillingBytes_ = 0;
    // The renames reach the disk with their folders.
    for (const std::string& folder : folders_)
        FlushFolder(folder);
    folders_.clear();
    std::vector<Job> failed;
    failed.swap(failed_);
    return failed;
}

// The commit thread: one batch at a time, as the pass hands them over.
void TZADeferredCommit::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return busy_ || stop_; });
        if (!busy_)
            return;
        lock.unlock();
        std::exception_ptr error;
        try {
            commit(committing_);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        committing_.clear(); // already, unless the commit raised
        error_ = error;
        busy_ = false;
        idle_.notify_one();
    }
}

void TZADeferredCommit::waitIdle(std::unique_lock<std::mutex>& lock) {
    idle_.wait(lock, [this] { return !busy_; });
    if (error_) {
        std::exception_ptr error = nullptr;
        std::swap(error, error_);
        std::rethrow_exception(error);
    }
}

void TZADeferredCommit::commit(std::vector<Job>& batch) {
    if (batch.empty())
        return;
    // Every file's data first, in one flush of the batch rather than one a
    // file: each flush of its own would cost the disk a cache flush.
    std::vector<int> fds;
    for (const Job& job : batch)
        if (job.flush)
            fds.push_back(job.fd);
    const std::vector<bool> flushedFds = FlushFiles(fds);
    std::vector<bool> flushed(batch.size());
    for (size_t i = 0, f = 0; i < batch.size(); ++i) {
        flushed[i] = !batch[i].flush || flushedFds[f++];
        FlushAndClose(batch[i].fd, false);
        batch[i].fd = -1;
    }
    // The temporary is made beside its target: the rename goes through the
    // folder's own handle, opened once for the batch.
    std::map<std::string, std::unique_ptr<TDurableFolder>> folders;
    for (size_t i = 0; i < batch.size(); ++i) {
        Job& job = batch[i];
        std::unique_ptr<TDurableFolder>& folder = folders[job.folder];
        if (!folder)
            folder = std::make_unique<TDurableFolder>(job.folder);
        const bool beside =
            folder->IsOpen() && folderOf(job.from) == job.folder && folderOf(job.to) == job.folder;
        const bool renamed = flushed[i] && (beside ? folder->Rename(nameIn(job.from), nameIn(job.to))
                                                   : RenameOver(job.from, job.to));
        if (job.flush)
            folders_.insert(job.folder);
        if (!renamed) {
            RemoveNative(job.from);
            failed_.push_back(std::move(job));
            continue;
        }
        // Windows gives a replaced file the new name's letter case: the old
        // spelling, a different file, goes.
        if (!job.oldSpelling.empty() && DifferentNativeFiles(job.oldSpelling, job.to))
            RemoveNative(job.oldSpelling);
    }
    batch.clear();
}

} // namespace vx::zip
