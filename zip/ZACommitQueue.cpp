#include "zip/ZACommitQueue.h"

#include <algorithm>

#include "platform/DurableReplace.h"
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

TZACommitQueue::TZACommitQueue(size_t workers, size_t maxPending, size_t batch)
    : workerCount_(workers == 0 ? 1 : workers), maxPending_(maxPending == 0 ? 1 : maxPending),
      batch_(std::clamp<size_t>(batch, 1, maxPending_)) {}

TZACommitQueue::~TZACommitQueue() {
    Drain();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void TZACommitQueue::Submit(Job job) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return queue_.size() + busy_ < maxPending_; });
    queue_.push_back(std::move(job));
    if (queue_.size() < batch_)
        return; // a batch is gathered first
    // Threads are started as batches arrive: a short pass needs one.
    if (idle_ > 0)
        wake_.notify_one();
    else if (workers_.size() < workerCount_)
        workers_.emplace_back([this] { work(); });
}

std::vector<TZACommitQueue::Job> TZACommitQueue::Drain() {
    std::set<std::string> folders;
    std::vector<Job> failed;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!queue_.empty()) {
            draining_ = true;
            if (workers_.empty())
                workers_.emplace_back([this] { work(); });
            wake_.notify_all();
        }
        done_.wait(lock, [&] { return queue_.empty() && busy_ == 0; });
        draining_ = false;
        folders.swap(folders_);
        failed.swap(failed_);
    }
    // The renames reach the disk with their folders.
    for (const std::string& folder : folders)
        FlushFolder(folder);
    return failed;
}

bool TZACommitQueue::commit(const Job& job) {
    const bool flushed = FlushAndClose(job.fd, job.flush);
    // The temporary is made beside its target: the rename goes through the
    // folder's own handle, and the folder is flushed once for the batch.
    TDurableFolder folder(job.folder);
    const bool beside = folder.IsOpen() && folderOf(job.from) == job.folder && folderOf(job.to) == job.folder;
    const bool renamed =
        flushed && (beside ? folder.Rename(nameIn(job.from), nameIn(job.to)) : RenameOver(job.from, job.to));
    if (!renamed) {
        RemoveNative(job.from);
        return false;
    }
    // Windows gives a replaced file the new name's letter case: the old
    // spelling, a different file, goes.
    if (!job.oldSpelling.empty() && DifferentNativeFiles(job.oldSpelling, job.to))
        RemoveNative(job.oldSpelling);
    return true;
}

void TZACommitQueue::work() {
    std::vector<Job> batch;
    std::vector<bool> ok;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        wake_.wait(lock,
                   [&] { return stopping_ || queue_.size() >= batch_ || (draining_ && !queue_.empty()); });
        --idle_;
        if (queue_.empty())
            return; // stopping
        const size_t n = std::min(queue_.size(), batch_);
        batch.clear();
        for (size_t i = 0; i < n; ++i) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        busy_ += n;
        lock.unlock();
        // Writing back all of the batch is started before the first flush
        // waits, so that one journal commit can carry several files.
        for (const Job& job : batch)
            if (job.flush)
                StartFileWriteBack(job.fd);
        ok.assign(n, false);
        for (size_t i = 0; i < n; ++i)
            ok[i] = commit(batch[i]);
        lock.lock();
        busy_ -= n;
        for (size_t i = 0; i < n; ++i) {
            if (batch[i].flush)
                folders_.insert(batch[i].folder);
            if (!ok[i])
                failed_.push_back(std::move(batch[i]));
        }
        done_.notify_all();
    }
}

bool TZACommitQueue::FolderNeedsFlush(const std::string& folder) {
    return vx::platform::FolderNeedsFlush(folder);
}

} // namespace vx::zip
