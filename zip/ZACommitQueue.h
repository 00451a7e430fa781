// Puts extracted files in place off the extraction's thread. Each file is
// flushed to the disk and only then renamed over its target, so that
// neither a kill nor a power loss leaves a part of it under the entry's
// name. A flush waits for the file system's journal; many of them in
// flight at once share its commits, where one after the other each would
// pay for a commit of its own. Files are handed to the threads in
// batches: one wake-up per file would cost more than flushing and renaming
// a small file does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vx::zip {

class TZACommitQueue {
public:
    struct Job {
        int fd = -1;             // the finished temporary, open; the queue closes it
        std::string from;        // its Linux path
        std::string to;          // the target's Linux path, spelled as the entry says
        std::string oldSpelling; // an existing target under other letters, removed after
        std::string folder;      // the folder of both, flushed once the renames are done
        int32_t index = -1;      // the directory item, for reporting a failure
        // Flushed before the rename; not where the file system is in memory
        // (tmpfs), which a power loss empties anyway.
        bool flush = true;
    };

    explicit TZACommitQueue(size_t workers = 16, size_t maxPending = 64, size_t batch = 4);
    // Waits for what was submitted.
    ~TZACommitQueue();
    TZACommitQueue(const TZACommitQueue&) = delete;
    TZACommitQueue& operator=(const TZACommitQueue&) = delete;

    // Hands a finished file over; blocks while too many are in flight.
    void Submit(Job job);
    // Waits until every file handed over is in place (or failed), flushes
    // the folders that received files, and gives the jobs that failed
    // (their temporaries are removed; the targets are as they were).
    std::vector<Job> Drain();
    // Puts one file in place now, on the calling thread: for a job without
    // a flush, which has nothing to wait for. False as a failed job.
    static bool CommitNow(const Job& job) { return commit(job); }
    // Whether files in this Linux folder need a flush to outlive a power
    // loss (false on a file system kept in memory).
    static bool FolderNeedsFlush(const std::string& folder);

private:
    void work();
    static bool commit(const Job& job);

    const size_t workerCount_, maxPending_, batch_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::deque<Job> queue_;
    size_t busy_ = 0;
    size_t idle_ = 0;       // threads waiting for work
    bool draining_ = false; // a short batch is taken too
    bool stopping_ = false;
    std::vector<Job> failed_;
    std::set<std::string> folders_;
    std::vector<std::thread> workers_;
};

} // namespace vx::zip
