// Puts the finished files of an extraction pass in place so that neither a
// kill nor a power loss leaves a part of a file under an entry's name, at
// the least cost to the disk, without holding up the pass:
//   - every temporary is written whole first, and its writing back to the
//     disk is started as soon as it is handed over;
//   - the flushes come late, a batch at a time: once a batch has filled,
//     one commit thread flushes it while the pass fills the next, so the
//     pass never waits for the disk unless the disk is slower than the
//     pass; the batch is flushed in one go where the system can (one
//     cache flush of the disk rather than one a file);
//   - only then are the batch's files renamed over their targets, through
//     their folder's handle, and the folders that received files are
//     flushed once at the end, on the pass's thread, before Finish returns.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vx::zip {

class TZADeferredCommit {
public:
    struct Job {
        int fd = -1;             // the finished temporary, open; the commit closes it
        std::string from;        // its Linux path
        std::string to;          // the target's Linux path, spelled as the entry says
        std::string oldSpelling; // an existing target under other letters, removed after
        std::string folder;      // the folder of both, flushed once the renames are done
        int32_t index = -1;      // the directory item, for reporting a failure
        // Flushed before the rename; not where the file system is in memory
        // (tmpfs), which a power loss empties anyway.
        bool flush = true;
        int64_t bytes = 0; // its size, for the batch's bound
    };

    // A batch holds at most batchFiles files and batchBytes bytes. Each
    // batch costs a journal commit, so batches are large; the handles of
    // two batches (the one being committed, the one filling) stay open,
    // within the 512 that the Windows C library allows a process.
    explicit TZADeferredCommit(size_t batchFiles = 200, int64_t batchBytes = int64_t{64} << 20);
    // Puts in place what was handed over, on every way out.
    ~TZADeferredCommit();
    TZADeferredCommit(const TZADeferredCommit&) = delete;
    TZADeferredCommit& operator=(const TZADeferredCommit&) = delete;

    // Hands a finished file over. When it fills a batch, the batch goes to
    // the commit thread, after the one before it is done.
    void Add(Job job);
    // Puts every file handed over in place (or fails it), flushes the
    // folders that received files, and gives the jobs that failed (their
    // temporaries are removed; the targets are as they were).
    std::vector<Job> Finish();

private:
    void run();
    // Waits until the commit thread has no batch; what it raised is
    // raised here, on the pass's thread.
    void waitIdle(std::unique_lock<std::mutex>& lock);
    void commit(std::vector<Job>& batch);

    const size_t batchFiles_;
    const int64_t batchBytes_;
    // The pass's own.
    std::vector<Job> filling_; // being gathered
    int64_t fillingBytes_ = 0;

    // Handed between the pass and the commit thread under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::vector<Job> committing_; // the full batch the thread flushes and renames
    bool busy_ = false;           // committing_ is the thread's until it clears this
    bool stop_ = false;
    std::exception_ptr error_;
    // Filled by whichever thread commits a batch; the other touches them
    // only once the thread is idle (waitIdle).
    std::vector<Job> failed_;
    std::set<std::string> folders_; // to flush at the end
    std::thread thread_;            // started with the first full batch
};

} // namespace vx::zip
