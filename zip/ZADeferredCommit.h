// Puts the finished files of an extraction pass in place so that neither a
// kill nor a power loss leaves a part of a file under an entry's name, at
// the least cost to the disk, on the pass's own thread:
//   - every temporary is written whole first, and its writing back to the
//     disk is started as soon as it is handed over;
//   - the flushes come late, a batch at a time: a batch is flushed only
//     once the next one has filled, so its data is mostly on the disk by
//     then, and the first flush of a batch carries the others' journal
//     entries with it;
//   - only then are the batch's files renamed over their targets, through
//     their folder's handle, and the folders that received files are
//     flushed once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
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
    // two batches stay open, within the 512 that the Windows C library
    // allows a process.
    explicit TZADeferredCommit(size_t batchFiles = 200, int64_t batchBytes = int64_t{64} << 20);
    // Puts in place what was handed over, on every way out.
    ~TZADeferredCommit();
    TZADeferredCommit(const TZADeferredCommit&) = delete;
    TZADeferredCommit& operator=(const TZADeferredCommit&) = delete;

    // Hands a finished file over; may flush and rename an earlier batch.
    void Add(Job job);
    // Puts every file handed over in place (or fails it), flushes the
    // folders that received files, and gives the jobs that failed (their
    // temporaries are removed; the targets are as they were).
    std::vector<Job> Finish();

private:
    void commit(std::vector<Job>& batch);

    const size_t batchFiles_;
    const int64_t batchBytes_;
    std::vector<Job> older_;   // full, being written back; flushed when the next fills
    std::vector<Job> filling_; // being gathered
    int64_t fillingBytes_ = 0;
    std::vector<Job> failed_;
    std::set<std::string> folders_; // to flush at the end
};

} // namespace vx::zip
