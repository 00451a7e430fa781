#include "zip/ZADecodeAhead.h"

#include <algorithm>
#include <cstring>

namespace vx::zip {

// The decoder's output stream on the decoding thread: output gathers into
// pieces, and the messages of an entry go over when a piece is full or the
// entry ends. A whole entry's output is decoded straight into its piece.
class TZADecodeAhead::Sink : public TStream, public TZAWholeOutput {
public:
    Sink(TZADecodeAhead& owner, size_t job) : owner_(owner), job_(job) {}

    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
    void SetSize(int64_t) override {}
    int64_t Write(const void* buffer, int64_t count) override {
        const auto* p = static_cast<const uint8_t*>(buffer);
        int64_t done = 0;
        while (done < count) {
            if (!current_) {
                const auto want = static_cast<size_t>(count - done);
                Message m;
                m.job = job_;
                m.kind = Kind::Data;
                m.data = newPiece(std::min(want, PieceSize));
                if (!m.data.bytes)
                    return done; // stopped
                outbox_.push_back(std::move(m));
                current_ = &outbox_.back().data;
            }
            const size_t n = std::min(current_->capacity - current_->size, static_cast<size_t>(count - done));
            std::memcpy(current_->bytes.get() + current_->size, p + done, n);
            current_->size += n;
            bytes_ += n;
            done += static_cast<int64_t>(n);
            if (current_->size == current_->capacity) {
                current_ = nullptr;
                if (bytes_ >= PieceSize && !flush())
                    return done; // stopped: the decoder sees a short write
            }
        }
        return done;
    }

    uint8_t* Reserve(size_t n) override {
        if (pending_.capacity < n || !pending_.bytes) {
            owner_.drop(pending_);
            pending_ = newPiece(n);
        }
        return pending_.bytes ? pending_.bytes.get() : scratch_.Get(n); // stopped: decoded for nothing
    }

    bool Commit(size_t n) override {
        current_ = nullptr;
        if (n == 0)
            return true;
        if (!pending_.bytes)
            return false; // stopped
        Message m;
        m.job = job_;
        m.kind = Kind::Data;
        m.data = std::move(pending_);
        m.data.size = n;
        pending_ = {};
        outbox_.push_back(std::move(m));
        bytes_ += n;
        return bytes_ < PieceSize || flush();
    }

    bool Progress(double position, double total) {
        current_ = nullptr;
        Message m;
        m.job = job_;
        m.kind = Kind::Progress;
        m.position = position;
        m.total = total;
        outbox_.push_back(std::move(m));
        // Reports without output (tiny chunks of a large entry) are bounded
        // by their number.
        if ((bytes_ >= PieceSize || outbox_.size() >= 1024) && !flush())
            return false;
        return !owner_.stop_ && owner_.abandoned_ != job_;
    }

    void End(TZADecodeResult result, bool thrown) {
        current_ = nullptr;
        Message m;
        m.job = job_;
        m.kind = Kind::End;
        m.result = result;
        m.thrown = thrown;
        outbox_.push_back(std::move(m));
        flush();
    }

    ~Sink() override { owner_.drop(pending_); }

private:
    bool flush() {
        current_ = nullptr;
        const bool large = bytes_ >= PieceSize / 16;
        bytes_ = 0;
        return owner_.publish(outbox_, large);
    }

    Piece newPiece(size_t n) {
        return owner_.piece(n, [this] {
            // What is held here is handed over before waiting for room:
            // the pass may need it to give room back.
            flush();
        });
    }

    TZADecodeAhead& owner_;
    const size_t job_;
    std::vector<Message> outbox_;
    Piece* current_ = nullptr; // the piece being filled, in outbox_
    Piece pending_;            // reserved for a whole output
    TZAScratch scratch_;
    size_t bytes_ = 0; // output in outbox_
};

TZADecodeAhead::TZADecodeAhead(TStream& archive, int64_t archiveSize, bool keepExcessOutput,
                               std::vector<Job> jobs, size_t poolLimit)
    : archive_(archive), archiveSize_(archiveSize), keepExcessOutput_(keepExcessOutput),
      jobs_(std::move(jobs)), poolLimit_(poolLimit) {
    positions_.reserve(jobs_.size());
    for (size_t j = 0; j < jobs_.size(); ++j)
        positions_.emplace(jobs_[j].index, j);
    thread_ = std::thread([this] { run(); });
}

TZADecodeAhead::~TZADecodeAhead() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    room_.notify_all();
    thread_.join();
}

size_t TZADecodeAhead::PeakBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peakBytes_;
}

void TZADecodeAhead::run() {
    for (size_t j = 0; j < jobs_.size() && !stop_; ++j) {
        const TDirItem& item = jobs_[j].item;
        Sink sink(*this, j);
        TZADecodeContext context;
        context.ArchiveSize = archiveSize_;
        context.WholeBuffer = true;
        context.Buffers = &buffers_;
        context.WholeOutput = &sink;
        context.KeepExcessOutput = keepExcessOutput_;
        context.AreaEnd = item.AreaEnd;
        context.Progress = [&](double position, double total) { return sink.Progress(position, total); };
        TZADecodeResult result = TZADecodeResult::CorruptData;
        bool thrown = false;
        try {
            TZAEntryDecoder decoder(context, archive_, sink, item);
            result = decoder.Decode(static_cast<int64_t>(item.RealHeaderOffset()));
        } catch (...) {
            // An allocation that failed here fails there too, where it is
            // reported as the pass reports it.
            thrown = true;
        }
        sink.End(result, thrown);
        if (thrown)
            break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    ready_.notify_one();
}

bool TZADecodeAhead::publish(std::vector<Message>& outbox, bool urgent) {
    if (outbox.empty())
        return !stop_;
    std::unique_lock<std::mutex> lock(mutex_);
    // Reports without output are small, but not without number.
    room_.wait(lock, [&] { return stop_ || queue_.size() < MaxMessages; });
    if (stop_) {
        for (Message& m : outbox)
            if (m.data.bytes) {
                poolBytes_ -= m.data.capacity;
                --pieces_;
            }
        outbox.clear();
        return false;
    }
    for (Message& m : outbox)
        queue_.push_back(std::move(m));
    outbox.clear();
    // A wake costs more than decoding a small entry: the pass waiting for
    // output is woken for a batch of small entries, or for a large piece.
    if (waiting_ && (urgent || queue_.size() >= WakeBatch))
        ready_.notify_one();
    return true;
}

void TZADecodeAhead::drop(Piece& p) {
    if (!p.bytes)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    poolBytes_ -= p.capacity;
    --pieces_;
    p = {};
}

size_t TZADecodeAhead::classOf(size_t n) {
    size_t k = 0;
    while ((SmallestPiece << k) < n && k + 1 < Classes)
        ++k;
    return k;
}

TZADecodeAhead::Piece TZADecodeAhead::piece(size_t n, const std::function<void()>& flush) {
    const size_t k = classOf(n);
    // Buffers come in powers of two, so that a written one serves again.
    const size_t capacity = std::max(SmallestPiece << k, n);
    std::unique_lock<std::mutex> lock(mutex_);
    bool flushed = false;
    for (;;) {
        if (stop_)
            return {};
        if (!spares_[k].empty() && spares_[k].back().capacity >= n) {
            Piece p = std::move(spares_[k].back());
            spares_[k].pop_back();
            p.size = 0;
            return p;
        }
        // One buffer larger than the pool goes when it is the only one.
        if ((poolBytes_ + capacity <= poolLimit_ && pieces_ < MaxPieces) || poolBytes_ == 0) {
            poolBytes_ += capacity;
            ++pieces_;
            peakBytes_ = std::max(peakBytes_, poolBytes_);
            lock.unlock();
            Piece p;
            p.capacity = capacity;
            p.bytes = std::make_unique_for_overwrite<uint8_t[]>(capacity);
            return p;
        }
        // Spares of other sizes make room for one of this size.
        bool freed = false;
        for (size_t c = Classes; c-- > 0 && !freed;)
            if (!spares_[c].empty()) {
                poolBytes_ -= spares_[c].back().capacity;
                --pieces_;
                spares_[c].pop_back();
                freed = true;
            }
        if (freed)
            continue;
        if (!flushed) {
            lock.unlock();
            flush();
            flushed = true;
            lock.lock();
            continue;
        }
        // The pass may be waiting for what was handed over without a wake.
        if (waiting_)
            ready_.notify_one();
        room_.wait(lock);
    }
}

void TZADecodeAhead::returnLocked() {
    for (Piece& p : returned_)
        spares_[classOf(p.capacity)].push_back(std::move(p));
    returned_.clear();
    returnedBytes_ = 0;
    room_.notify_one();
}

void TZADecodeAhead::giveBack() {
    std::lock_guard<std::mutex> lock(mutex_);
    returnLocked();
}

bool TZADecodeAhead::next(Message*& message) {
    if (taken_.empty()) {
        std::unique_lock<std::mutex> lock(mutex_);
        returnLocked();
        waiting_ = true;
        ready_.wait(lock, [&] { return !queue_.empty() || finished_; });
        waiting_ = false;
        if (queue_.empty())
            return false;
        taken_.swap(queue_);
    }
    message = &taken_.front();
    return true;
}

void TZADecodeAhead::pop() {
    Message& m = taken_.front();
    if (m.data.bytes) {
        returnedBytes_ += m.data.capacity;
        returned_.push_back(std::move(m.data));
    }
    taken_.pop_front();
    // Room is given back as output is written, not only once all that was
    // taken is gone, so that decoding goes on meanwhile.
    if (returnedBytes_ >= PieceSize || returned_.size() >= 64)
        giveBack();
}

std::optional<TZADecodeResult> TZADecodeAhead::Take(int32_t index, TStream& output,
                                                    const std::function<bool(double, double)>& progress) {
    auto found = positions_.find(index);
    if (found == positions_.end() || found->second < nextTake_)
        return std::nullopt;
    const size_t job = found->second;
    nextTake_ = job + 1;
    for (;;) {
        Message* m = nullptr;
        if (!next(m) || m->job > job)
            return std::nullopt; // the thread stopped before it
        if (m->job < job) {
            pop(); // an item the pass did not extract
            continue;
        }
        switch (m->kind) {
        case Kind::Progress: {
            const bool go = !progress || progress(m->position, m->total);
            pop();
            if (!go) {
                abandoned_ = job;
                return TZADecodeResult::Cancelled;
            }
            break;
        }
        case Kind::Data: {
            const auto size = static_cast<int64_t>(m->data.size);
            const bool ok = size == 0 || output.Write(m->data.bytes.get(), size) == size;
            pop();
            if (!ok) {
                abandoned_ = job;
                return TZADecodeResult::WriteFailed;
            }
            break;
        }
        case Kind::End: {
            const TZADecodeResult result = m->result;
            const bool thrown = m->thrown;
            pop();
            if (!thrown)
                return result;
            // Decoded again by the pass, from the start.
            try {
                output.SetSize(0);
                output.Seek(0, soBeginning);
            } catch (...) {
            }
            return std::nullopt;
        }
        }
    }
}

} // namespace vx::zip
