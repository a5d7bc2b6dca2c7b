// Pieces of vasprun.xml read on worker threads (the spin sets of
// <partial>): a queue in file order, the calling thread helping.
#include <utility>

#include "vasprun/vasprun.h"

namespace pds {

namespace {

// Queued bytes beyond which the calling thread reads pieces itself.
constexpr std::size_t kQueuedBytes = std::size_t{4} << 20;

}  // namespace

PieceReaders::PieceReaders(int workers, std::string name) : name_(std::move(name)) {
  try {
    for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
    // Fewer threads: the calling thread reads what is left.
  }
}

PieceReaders::~PieceReaders() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  queued_.notify_all();
  for (std::thread& t : threads_) t.join();
}

bool PieceReaders::next(Job& job) {
  if (queue_.empty()) return false;
  job = std::move(queue_.front());
  queue_.pop_front();
  queued_bytes_ -= job.piece.size;
  ++running_;
  return true;
}

void PieceReaders::run(Job& job) {
  bool skip;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    skip = job.order > failed_order_;  // a failure before it is reported
  }
  if (!skip) {
    try {
      XmlScan s(std::move(job.piece), name_);
      job.work(s);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (job.order < failed_order_) {
        failed_order_ = job.order;
        failure_ = std::current_exception();
      }
    }
  }
  job.work = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  --running_;
  done_.notify_all();
}

void PieceReaders::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (!next(job)) return;
    }
    run(job);
  }
}

void PieceReaders::add(XmlPiece piece, Work work) {
  std::unique_lock<std::mutex> lock(mutex_);
  queued_bytes_ += piece.size;
  queue_.push_back(Job{added_++, std::move(piece), std::move(work)});
  queued_.notify_one();
  while (queued_bytes_ > kQueuedBytes || threads_.empty()) {
    Job job;
    if (!next(job)) break;
    lock.unlock();
    run(job);
    lock.lock();
  }
}

void PieceReaders::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (Job job; next(job);) {
    lock.unlock();
    run(job);
    lock.lock();
  }
  done_.wait(lock, [this] { return running_ == 0; });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

}  // namespace pds
