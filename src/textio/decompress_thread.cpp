// Decoding on a second thread: a producer fills chunks of text from the
// decoder while the reader parses earlier chunks on the calling thread, so a
// compressed read takes about as long as the slower of the two instead of
// their sum. The queue is short: at most kQueued chunks wait, one is being
// filled and one being read, so a read holds a few MiB of text at any time,
// never the whole text.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "textio/decompress.h"

namespace pds {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::size_t kQueued = 4;

struct Chunk {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
};

class ReadAhead final : public ByteSource {
 public:
  explicit ReadAhead(std::unique_ptr<ByteSource> inner);
  ~ReadAhead() override;
  std::size_t read(char* buf, std::size_t n) override;

 private:
  void produce();
  bool wait_for_room(Chunk& c);
  bool fill(Chunk& c);
  void hand_over(Chunk c, bool more, std::exception_ptr error);
  bool next_chunk();

  std::unique_ptr<ByteSource> inner_;
  std::mutex mutex_;
  std::condition_variable ready_;  // a chunk was queued, or the producer ended
  std::condition_variable room_;   // a chunk was taken, or the reader left
  std::deque<Chunk> queue_;
  std::vector<Chunk> spare_;       // read chunks, reused by the producer
  std::exception_ptr error_;       // what ended the producer, thrown after queue_
  bool done_ = false;              // the producer has queued its last chunk
  std::atomic<bool> stop_{false};  // the reader is gone: the producer ends
  Chunk current_;                  // the chunk the reader is in
  std::size_t pos_ = 0;
  std::thread thread_;  // last: everything above exists when it starts
};

ReadAhead::ReadAhead(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {
  try {
    thread_ = std::thread(&ReadAhead::produce, this);
  } catch (const std::system_error&) {
    // No thread to be had: read() decodes on the calling thread instead.
  }
}

// The producer may be blocked on a full queue or in the middle of a chunk;
// either way it sees stop_ soon and ends, so the reader may leave at any
// point, also while unwinding.
ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  room_.notify_one();
  thread_.join();
}

void ReadAhead::produce() {
  bool more = true;
  while (more) {
    Chunk c;
    if (!wait_for_room(c)) return;
    std::exception_ptr error;
    try {
      if (!c.data) c.data = std::make_unique_for_overwrite<char[]>(kChunk);
      more = fill(c);
    } catch (...) {
      error = std::current_exception();
      more = false;
    }
    hand_over(std::move(c), more, error);
  }
}

// Waits until the queue has room and takes a spare chunk, if there is one;
// false when the reader has left.
bool ReadAhead::wait_for_room(Chunk& c) {
  std::unique_lock lock(mutex_);
  room_.wait(lock, [this] { return stop_ || queue_.size() < kQueued; });
  if (stop_) return false;
  if (!spare_.empty()) {
    c = std::move(spare_.back());
    spare_.pop_back();
  }
  return true;
}

// Fills `c` from the decoder; false at the end of the text (or when the
// reader has left).
bool ReadAhead::fill(Chunk& c) {
  c.size = 0;
  while (c.size < kChunk) {
    if (stop_) return false;
    const std::size_t got = inner_->read(c.data.get() + c.size, kChunk - c.size);
    if (got == 0) return false;
    c.size += got;
  }
  return true;
}

// Queues what was read, then, when it is the last, the failure that ended
// it: the reader gets the good bytes before the failure.
void ReadAhead::hand_over(Chunk c, bool more, std::exception_ptr error) {
  {
    std::lock_guard lock(mutex_);
    if (c.size > 0) queue_.push_back(std::move(c));
    if (!more) {
      error_ = std::move(error);
      done_ = true;
    }
  }
  ready_.notify_one();
}

// Moves on to the next queued chunk; false at the end of the text. Throws
// the producer's failure once the chunks before it are read.
bool ReadAhead::next_chunk() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [this] { return !queue_.empty() || done_; });
  if (queue_.empty()) {
    if (error_) std::rethrow_exception(error_);
    return false;
  }
  if (current_.data) spare_.push_back(std::move(current_));
  current_ = std::move(queue_.front());
  queue_.pop_front();
  pos_ = 0;
  lock.unlock();
  room_.notify_one();
  return true;
}

std::size_t ReadAhead::read(char* buf, std::size_t n) {
  if (!thread_.joinable()) return inner_->read(buf, n);
  if (pos_ == current_.size && !next_chunk()) return 0;
  n = std::min(n, current_.size - pos_);
  std::memcpy(buf, current_.data.get() + pos_, n);
  pos_ += n;
  return n;
}

}  // namespace

std::unique_ptr<ByteSource> read_ahead(std::unique_ptr<ByteSource> inner) {
  return std::make_unique<ReadAhead>(std::move(inner));
}

}  // namespace pds
