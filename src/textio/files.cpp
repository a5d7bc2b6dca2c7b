// Line-oriented files over POSIX descriptors, with large buffers: DOSCAR is
// read in blocks of a megabyte and output files are written the same way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "textio/textio.h"

namespace pds {

namespace {

constexpr std::size_t kInBuffer = std::size_t{1} << 20;
constexpr std::size_t kOutBuffer = std::size_t{1} << 20;

// Opens for reading; a directory is refused as the open of a file would be.
int open_read(const std::string& name, int& os_error) {
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    os_error = errno;
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    os_error = EISDIR;
    return -1;
  }
  return fd;
}

// The buffer of the last output file closed, handed to the next one: the
// writers open file after file (-a writes one per atom), and a fresh buffer
// would be zero-filled and faulted in every time.
std::vector<char> g_spare_out_buffer;

class DescriptorSource : public ByteSource {
 public:
  DescriptorSource(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~DescriptorSource() override {
    if (owned_) ::close(fd_);
  }
  std::size_t read(char* buf, std::size_t n) override {
    for (;;) {
      const ssize_t got = ::read(fd_, buf, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw Failure(kReadError, kUnitInternal, {}, errno);
    }
  }

 private:
  int fd_;
  bool owned_;
};

class PositionedSource : public ByteSource {
 public:
  PositionedSource(int fd, std::int64_t offset) : fd_(fd), offset_(offset) {}
  std::size_t read(char* buf, std::size_t n) override {
    for (;;) {
      const ssize_t got = ::pread(fd_, buf, n, static_cast<off_t>(offset_));
      if (got >= 0) {
        offset_ += got;
        return static_cast<std::size_t>(got);
      }
      if (errno != EINTR) throw Failure(kReadError, kUnitInternal, {}, errno);
    }
  }

 private:
  int fd_;
  std::int64_t offset_;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const char* data, std::size_t size) : data_(data), left_(size) {}
  std::size_t read(char* buf, std::size_t n) override {
    n = std::min(n, left_);
    std::memcpy(buf, data_, n);
    data_ += n;
    left_ -= n;
    return n;
  }

 private:
  const char* data_;
  std::size_t left_;
};

}  // namespace

Failure for_stream(const Failure& f, int unit, const std::string& name) {
  Failure located(f.number(), unit, name, f.os_error());
  located.detail() = f.detail();
  located.set_cause(f.cause());
  return located;
}

int open_regular(const std::string& name, int& os_error, unsigned& mode) {
  // O_NONBLOCK: the open of a FIFO returns at once instead of waiting for
  // a writer; it changes nothing for a regular file, and is cleared.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    os_error = errno;
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    os_error = 0;
    mode = st.st_mode;
    ::close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string_view file_kind(unsigned mode) {
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a folder";
  return "not a regular file";
}

std::size_t nul_padding(std::string_view line) {
  const std::size_t nul = line.find('\0');
  if (nul == std::string_view::npos) return nul;
  const bool all = std::all_of(line.begin() + static_cast<std::ptrdiff_t>(nul), line.end(),
                               [](char c) { return c == '\0'; });
  return all ? nul : std::string_view::npos;
}

std::unique_ptr<ByteSource> descriptor_source(int fd, bool owned) {
  return std::make_unique<DescriptorSource>(fd, owned);
}

std::unique_ptr<ByteSource> positioned_source(int fd, std::int64_t offset) {
  return std::make_unique<PositionedSource>(fd, offset);
}

std::unique_ptr<ByteSource> memory_source(const char* data, std::size_t size) {
  return std::make_unique<MemorySource>(data, size);
}

// ----------------------------------------------------------------- InFile

InFile::InFile(int unit, std::string_view name, int fd)
    : stream_{unit, std::string(trimmed(name))}, fd_(fd), buf_(kInBuffer) {}

InFile::InFile(int unit, std::string_view name)
    : stream_{unit, std::string(trimmed(name))}, buf_(kInBuffer) {
  int err = 0;
  fd_ = open_read(stream_.name, err);
  if (fd_ < 0) throw Failure(open_failure_number(err), unit, stream_.name, err);
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

int InFile::try_open(int unit, std::string_view name, std::unique_ptr<InFile>& out) {
  int err = 0;
  int fd = open_read(std::string(trimmed(name)), err);
  if (fd < 0) return open_failure_number(err);
  out.reset(new InFile(unit, name, fd));
  return 0;
}

InFile::InFile(int unit, std::string_view name, std::unique_ptr<ByteSource> source)
    : stream_{unit, std::string(trimmed(name))}, source_(std::move(source)), buf_(kInBuffer) {}

InFile::~InFile() {
  if (fd_ >= 0) ::close(fd_);
}

// A failure of the source, reported for this stream at the line being read.
std::size_t InFile::read_source(char* buf, std::size_t n) {
  try {
    return source_->read(buf, n);
  } catch (const Failure& f) {
    Failure located = for_stream(f, stream_.unit, stream_.name);
    located.detail().line = lines_ + 1;
    throw located;
  }
}

// Moves the unread rest to the front and reads more behind it.
bool InFile::fill() {
  if (eof_) return false;
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (source_) {
    const std::size_t n = read_source(buf_.data() + end_, buf_.size() - end_);
    end_ += n;
    eof_ = n == 0;
    return n > 0;
  }
  for (;;) {
    ssize_t n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (n > 0) {
      end_ += static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) {
      eof_ = true;
      return false;
    }
    if (errno != EINTR) throw Failure(kReadError, stream_.unit, stream_.name, errno);
  }
}

bool InFile::next(std::string_view& line) {
  for (;;) {
    const char* base = buf_.data();
    const void* nl = std::memchr(base + pos_, '\n', end_ - pos_);
    if (nl != nullptr) {
      std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(nl) - base);
      std::size_t len = stop - pos_;
      if (len > 0 && base[stop - 1] == '\r') --len;  // one CR before the LF is dropped
      line = std::string_view(base + pos_, len < kMaxLine ? len : kMaxLine);
      pos_ = stop + 1;
      ++lines_;
      if (limits_.number != 0) check_line(line, false);
      return true;
    }
    if (end_ - pos_ >= kMaxLine) break;  // a line longer than anything read needs
    if (!fill()) {
      if (pos_ == end_) return false;
      line = std::string_view(base + pos_, end_ - pos_);  // last line without LF
      pos_ = end_;
      ++lines_;
      if (limits_.number != 0) check_line(line, true);
      return true;
    }
  }
  // Keep the first kMaxLine characters and pass over the rest of the line.
  long_line_.assign(buf_.data() + pos_, kMaxLine);
  pos_ += kMaxLine;
  ++lines_;
  pass_long_line();
  line = long_line_;
  return true;
}

// Passes over the rest of a long line. With limits, a line that passes
// max_line is refused, or ends the data where a run of NUL bytes to the
// end of what was read of it starts.
void InFile::pass_long_line() {
  constexpr std::size_t npos = std::string_view::npos;
  std::size_t length = kMaxLine;
  std::size_t nul = long_line_.find('\0');
  bool padding = nul == npos || nul_padding(long_line_) == nul;  // so far
  for (;;) {
    const char* from = buf_.data() + pos_;
    const void* nl = std::memchr(from, '\n', end_ - pos_);
    const std::size_t stop =
        nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - buf_.data()) : end_;
    const std::string_view part(from, stop - pos_);
    if (padding && nul == npos && part.find('\0') != npos) {
      nul = length + part.find('\0');
      padding = nul_padding(part) == nul - length;
    } else if (padding && nul != npos) {
      padding = part.find_first_not_of('\0') == npos;
    }
    length += part.size();
    if (limits_.number != 0 && length > limits_.max_line) refuse_line(padding ? nul : npos);
    pos_ = nl != nullptr ? stop + 1 : end_;
    if (nl == nullptr && fill()) continue;
    if (limits_.number == 0 || nul == npos) return;
    if (nl == nullptr && padding) refuse_line(nul);  // the data ends in the NUL bytes
    if (lines_ <= limits_.nul_free) refuse_line(npos);
    return;
  }
}

// A line that runs into NUL bytes up to the end of the data, one of the
// first limits_.nul_free lines with a NUL byte, or one longer than the limit.
void InFile::check_line(std::string_view line, bool ended) {
  if (line.size() > limits_.max_line) refuse_line(std::string_view::npos);
  if (std::memchr(line.data(), '\0', line.size()) == nullptr) return;
  const std::size_t nul = nul_padding(line);
  if (ended && nul != std::string_view::npos) refuse_line(nul);
  if (lines_ <= limits_.nul_free) refuse_line(std::string_view::npos);
}

// Throws for the line just read: the end of the data at `nul` (npos: the
// line is refused as not text).
void InFile::refuse_line(std::size_t nul) {
  const bool end = nul != std::string_view::npos;
  Failure f(end ? kEndOfFile : limits_.number, stream_.unit, stream_.name);
  f.detail().line = lines_;
  if (end) f.detail().first_column = static_cast<int>(nul + 1);
  f.set_cause(end ? "truncated" : "not-text");
  throw f;
}

std::string_view InFile::line() {
  std::string_view l;
  if (!next(l)) {
    Failure f(kEndOfFile, stream_.unit, stream_.name);
    f.detail().line = lines_;  // the file ends at this line
    f.set_cause("truncated");
    throw f;
  }
  return l;
}

// ----------------------------------------------------------------- OutFile

OutFile::OutFile(int unit, std::string_view name) : stream_{unit, std::string(trimmed(name))} {
  // The buffer first, as before the open: a file is not created when there
  // is no storage for its buffer.
  if (g_spare_out_buffer.size() >= kOutBuffer) {
    buf_.swap(g_spare_out_buffer);
  } else {
    buf_.resize(kOutBuffer);
  }
  fd_ = ::open(stream_.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    int err = errno;
    buf_.swap(g_spare_out_buffer);
    throw Failure(open_failure_number(err), unit, stream_.name, err);
  }
}

OutFile::~OutFile() {
  if (fd_ >= 0) {
    // Unwinding from another failure: keep the lines written so far.
    try {
      flush();
    } catch (const Failure&) {
    }
    ::close(fd_);
  }
  if (buf_.size() > g_spare_out_buffer.size()) buf_.swap(g_spare_out_buffer);
}

char* OutFile::reserve(std::size_t n) {
  if (buf_.size() - pos_ < n) {
    flush();
    if (buf_.size() < n) buf_.resize(n);
  }
  return buf_.data() + pos_;
}

void OutFile::write(std::string_view s) {
  char* p = reserve(s.size());
  std::memcpy(p, s.data(), s.size());
  pos_ += s.size();
}

void OutFile::flush() {
  std::size_t done = 0;
  while (done < pos_) {
    ssize_t n = ::write(fd_, buf_.data() + done, pos_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      pos_ = 0;  // what could not be written is lost with the failure
      throw Failure(kWriteError, stream_.unit, stream_.name, err);
    }
    done += static_cast<std::size_t>(n);
  }
  pos_ = 0;
}

void OutFile::close() {
  flush();
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) {
    throw Failure(kWriteError, stream_.unit, stream_.name, errno);
  }
}

}  // namespace pds
