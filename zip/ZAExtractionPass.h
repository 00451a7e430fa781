// One processing pass of the archive component over the selected items:
// the per-item driver with its progress, confirmation and failure events,
// the target rules of each entry, and the run state of the pass (files
// done and to do, cancel, skip). It holds everything that lives for one
// pass alone: the decoding ahead, the disk writer, the folder extracted
// into, the archive's size; all of it is gone when the pass ends, on every
// way out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zip/ZABaseArchiver.h"

namespace vx::zip {

using namespace vx::platform;

class TZADecodeAhead;
class TZADiskWriter;

class TZAExtractionPass {
public:
    TZAExtractionPass(TZABaseArchiver& archiver, TZAProcessOperation op);
    // Stops the decoding ahead, then puts in place what was written.
    ~TZAExtractionPass();
    TZAExtractionPass(const TZAExtractionPass&) = delete;
    TZAExtractionPass& operator=(const TZAExtractionPass&) = delete;

    // Processes every selected item in directory order.
    void Run();
    const TZARunState& State() const { return state_; }

private:
    void startDecodingAhead();
    void processItem(int32_t index, TZAAction& action);
    void extractEntry(int32_t index, std::string name, const std::string& destDir);
    bool targetMayBeReplaced(const TDirItem& item, const std::string& name, std::string& target);
    // Decodes the entry into out; false when it was skipped or cancelled.
    bool decodeEntry(int32_t index, TStream& out);
    // The progress events of one chunk of an entry; false when cancelled.
    bool reportEntryProgress(const TDirItem& item, double position, double total);
    void finishCommits(TZAAction& action);

    TZABaseArchiver& archiver_;
    const TZAProcessOperation op_;
    const bool withProgress_;
    TZARunState state_;
    std::string workingFolder_;
    // Read once per pass.
    int64_t archiveSize_ = -1;
    std::unique_ptr<TZADiskWriter> writer_;
    // Entries decoded on a second thread while the pass writes them; it
    // goes first, before the writer.
    std::unique_ptr<TZADecodeAhead> decodeAhead_;
};

} // namespace vx::zip
