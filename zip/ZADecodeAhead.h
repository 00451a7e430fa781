// Decodes the entries of an extraction pass ahead, on a thread of its own,
// while the pass's thread writes, commits and reports them. The pass's
// thread takes each entry's decoding in archive order and replays it: the
// progress reports at the points the decoder made them, then the output,
// then the result; so the events, the failure boxes and the files come in
// the same order as when the pass decodes each entry itself.
//
// Memory stays bounded whatever the entries' sizes and compression ratios:
// output waits in pieces of at most PieceSize, and the decoding thread
// stops while QueueLimit bytes are waiting. A large entry streams through
// in pieces as it is decoded.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/Streams.h"
#include "zip/ZADirectory.h"
#include "zip/ZAEntryDecoder.h"

namespace vx::zip {

using namespace vx::platform;

class TZADecodeAhead {
public:
    struct Job {
        int32_t index = -1; // the directory item
        TDirItem item;      // what the decoder reads of it, copied: the thread never reads the directory
    };
    static constexpr size_t PieceSize = 1u << 20;
    // Output buffers, waiting or kept for use again, stay within this; with
    // the decoding thread's input buffer (WholeLimit) and the pass's own
    // decoder it keeps an extraction within 64 MiB.
    static constexpr size_t PoolLimit = 16u << 20;

    // archive: read only at positions (ReadAt), so the pass may read it
    // too. The jobs are in archive order.
    TZADecodeAhead(TStream& archive, int64_t archiveSize, bool keepExcessOutput, std::vector<Job> jobs,
                   size_t poolLimit = PoolLimit);
    // Stops the thread (an entry being decoded is left) and waits for it.
    ~TZADecodeAhead();
    TZADecodeAhead(const TZADecodeAhead&) = delete;
    TZADecodeAhead& operator=(const TZADecodeAhead&) = delete;

    // Replays the decoding of the item: progress(position, total) before
    // each chunk as the decoder reported it (false stops: Cancelled), the
    // output written to `output` (a short write stops: WriteFailed), then
    // the decoder's result. Empty when this item is not decoded ahead, or
    // was taken before (a retry decodes it again itself). Items passed
    // over are dropped.
    std::optional<TZADecodeResult> Take(int32_t index, TStream& output,
                                        const std::function<bool(double position, double total)>& progress);

    // The most bytes of output buffers there were at once (for the tests
    // of the bound).
    size_t PeakBytes() const;

private:
    enum class Kind : uint8_t { Progress, Data, End };
    // A block of output; its buffer is used again once written.
    struct Piece {
        std::unique_ptr<uint8_t[]> bytes;
        size_t capacity = 0, size = 0;
    };
    struct Message {
        size_t job = 0; // position in jobs_
        Kind kind = Kind::End;
        double position = 0, total = 0;
        Piece data;
        TZADecodeResult result = TZADecodeResult::Ok;
        bool thrown = false; // the decoder raised: the pass decodes the entry itself
    };
    class Sink;

    void run();
    // The decoding thread hands its messages over.
    // Wakes the pass when urgent or when a batch is waiting.
    bool publish(std::vector<Message>& outbox, bool urgent);
    // A buffer of at least n bytes: a written piece's when one fits, since
    // fresh large blocks cost a page fault for every page. Waits while the
    // pool is full, after handing over what the thread holds (flush).
    // Empty when stopped.
    Piece piece(size_t n, const std::function<void()>& flush);
    // The pass's thread: the next message, waiting for it; false when the
    // thread has ended and nothing is left.
    bool next(Message*& message);
    void pop();
    void giveBack();
    void returnLocked();
    // Gives a buffer's room back (one that did not become a message).
    void drop(Piece& p);
    static constexpr size_t SmallestPiece = 4u << 10;
    static constexpr size_t Classes = 16; // 4 KiB to 128 MiB
    static size_t classOf(size_t n);
    static constexpr size_t WakeBatch = 48;
    // Many small entries ahead gain nothing over a few hundred.
    static constexpr size_t MaxPieces = 512;
    static constexpr size_t MaxMessages = 1u << 16;

    TStream& archive_;
    const int64_t archiveSize_;
    const bool keepExcessOutput_;
    const std::vector<Job> jobs_;
    const size_t poolLimit_;
    std::unordered_map<int32_t, size_t> positions_; // index -> position in jobs_

    mutable std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<Message> queue_;
    size_t poolBytes_ = 0; // capacity of every output buffer: waiting, taken, spare, being filled
    size_t peakBytes_ = 0;
    size_t pieces_ = 0;     // buffers in the pool
    bool finished_ = false; // the thread has published its last message
    bool waiting_ = false;  // the pass's thread waits for a message
    std::atomic<bool> stop_{false};
    std::atomic<size_t> abandoned_{SIZE_MAX};        // the job the pass stopped taking
    std::array<std::vector<Piece>, Classes> spares_; // written pieces' buffers, by size

    // The decoding thread's side only.
    TZADecodeBuffers buffers_;

    // The pass's side only.
    std::deque<Message> taken_;
    std::vector<Piece> returned_;
    size_t returnedBytes_ = 0; // capacity of returned_
    size_t nextTake_ = 0;      // jobs before this were taken or passed over

    std::thread thread_;
};

} // namespace vx::zip
