#include "zip/ZACommitQueue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

TZACommitQueue::TZACommitQueue(size_t workers, size_t maxPending)
    : workerCount_(workers == 0 ? 1 : workers), maxPending_(maxPending == 0 ? 1 : maxPending) {}

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
    // Threads are started as files arrive: a pass of one file needs one.
    if (workers_.size() < workerCount_ && workers_.size() < queue_.size() + busy_ + 1)
        workers_.emplace_back([this] { work(); });
    done_.wait(lock, [&] { return queue_.size() + busy_ < maxPending_; });
    queue_.push_back(std::move(job));
    wake_.notify_one();
}

std::vector<TZACommitQueue::Job> TZACommitQueue::Drain() {
    std::set<std::string> folders;
    std::vector<Job> failed;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return queue_.empty() && busy_ == 0; });
        folders.swap(folders_);
        failed.swap(failed_);
    }
    // The renames reach the disk with their folders.
    for (const std::string& folder : folders) {
        int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    return failed;
}

bool TZACommitQueue::commit(const Job& job) {
    const bool flushed = ::fsync(job.fd) == 0;
    ::close(job.fd);
    if (!flushed || std::rename(job.from.c_str(), job.to.c_str()) != 0) {
        ::unlink(job.from.c_str());
        return false;
    }
    // Windows gives a replaced file the new name's letter case: the old
    // spelling, a different file, goes.
    struct stat a, b;
    if (!job.oldSpelling.empty() && lstat(job.oldSpelling.c_str(), &a) == 0 &&
        lstat(job.to.c_str(), &b) == 0 && (a.st_ino != b.st_ino || a.st_dev != b.st_dev))
        ::unlink(job.oldSpelling.c_str());
    return true;
}

void TZACommitQueue::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopping
        Job job = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        const bool ok = commit(job);
        lock.lock();
        --busy_;
        folders_.insert(job.folder);
        if (!ok)
            failed_.push_back(std::move(job));
        done_.notify_all();
    }
}
