// textio: fixed-width fields, line formats, line-oriented files and how a run ends.
//
// Every line the program reads or writes goes through this layer. Numbers are
// rendered and parsed by field codes (Fw.d, Ew.d, Iw, ...) exactly: results are
// correctly rounded from the exact binary value, halfway cases go to the even
// digit. Failures carry their run-time failure number (24 end of input, 64
// malformed number, ...) and end the run through one exception caught in main.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pds {

// ---------------------------------------------------------------------------
// Failures and stops

// Run-time failure numbers; each is also the exit status of the run it ends.
enum FailureNo : int {
  kPermission = 9,      // open refused: no permission, read-only file system
  kEndOfFile = 24,      // read at the end of the file or of an argument text
  kNotFound = 29,       // open: the file or a directory in its path is missing
  kOpenFailure = 30,    // open: any other refusal (a directory as output name)
  kWriteError = 38,     // the OS refused written data (full device)
  kReadError = 39,      // the OS reported an error while reading
  kNameError = 43,      // open: a path component is not a directory, name too long
  kFreeSyntax = 59,     // free-form integer read: malformed value (returned only)
  kFormatSyntax = 62,   // invalid line format, e.g. a repeat count of 0
  kConversion = 64,     // numeric input field that is not a number
  kRecordOverflow = 66  // internal write longer than its text variable
};

// Stream numbers named in diagnostics.
constexpr int kUnitDoscar = 10;
constexpr int kUnitOutput = 11;
constexpr int kUnitInternal = -1;  // a text variable or a command-line argument

// Where a read failed, for programs that show more than the diagnostic
// (which never shows it): the line (from 1; 0 when unknown), the columns
// (from 1; 0 when unknown) and text of a malformed field, and a sentence that
// says what went wrong in the words of the file's layout.
struct FailureDetail {
  std::int64_t line = 0;
  int first_column = 0, last_column = 0;
  std::string field;
  std::string text;
  // What a byte source found wrong with its data, in words ("the gzip data
  // ends early"); empty for failures of the text itself.
  std::string cause;
};

// A failure of an open, read or write. `file` is the name as given (a relative
// name is shown with the working directory in front); `os_error` is errno or 0.
class Failure : public std::runtime_error {
 public:
  Failure(int number, int unit, std::string file, int os_error = 0);
  int number() const { return number_; }
  int unit() const { return unit_; }
  const std::string& file() const { return file_; }
  int os_error() const { return os_error_; }
  const FailureDetail& detail() const { return detail_; }
  FailureDetail& detail() { return detail_; }
  // A short machine-readable cause ("truncated", "not-a-number", ...), set
  // where the refusal is made; empty where only the number tells.
  const std::string& cause() const { return cause_; }
  void set_cause(std::string cause) { cause_ = std::move(cause); }

 private:
  int number_;
  int unit_;
  std::string file_;
  int os_error_;
  FailureDetail detail_;
  std::string cause_;
};

// The failure `f` of a byte source, with its number, OS error and detail,
// reported for the stream `unit` and file `name`.
Failure for_stream(const Failure& f, int unit, const std::string& name);

// The message text of a failure number ("end-of-file during read"), without
// the unit and file part.
std::string_view failure_message(int number);

// The diagnostic lines written to standard error for `f`, each ending in LF:
// an optional "pdsplit: <OS error text>" line, then
// "pdsplit: severe (N): <message>, unit U, file <cwd>/<name>".
std::string diagnostic(const Failure& f);

// A stop the program chooses. `status` is 0 for help and success and 1 for a
// stop after a failure (error box, missing DOSCAR, allocation). A non-empty
// `text` is written as one line to standard error.
struct Stop {
  int status = 0;
  std::string text;
};

// Maps errno of a failed open(2) to its failure number (9, 29, 30 or 43).
int open_failure_number(int os_error);

// Opens `name` read-only when it is a regular file (a link to one too),
// without waiting for the writer of a FIFO: its descriptor; else -1, with
// `os_error` the errno of the open, or 0 and `mode` the file's st_mode when
// it is a file of another kind (FIFO, device, socket, folder).
int open_regular(const std::string& name, int& os_error, unsigned& mode);
// What a file of st_mode `mode` is, in words: "a FIFO (named pipe)", "a
// character device", "a block device", "a socket", "a folder".
std::string_view file_kind(unsigned mode);

// `text` for a message: its first 40 bytes, then "..." when there are more;
// control characters, backslashes, quotes and bytes that are not UTF-8
// escaped (\t, \x00, \\, \", \xff), so that no byte of a file reaches a
// message unescaped.
std::string excerpt(std::string_view text);

// Processor time used so far (user + system, seconds); 0.0 if unavailable.
double cpu_time();

// ---------------------------------------------------------------------------
// Fixed-length texts

// `s` stored in a text of `len` characters: cut or blank-padded on the right.
std::string fixed(std::string_view s, std::size_t len);
// `s` without its trailing blanks.
std::string_view trimmed(std::string_view s);

// ---------------------------------------------------------------------------
// Field renderers and parsers (pure functions)

// Each put_* writes exactly w characters at `out` and returns out + w.
// Fw.d: fixed point, right-aligned; no sign on a result that rounds to zero;
// "0" before the point only when it fits; w asterisks on overflow.
char* put_f(char* out, double v, int w, int d);
// Ew.d: "0.dddd" mantissa with exponent "E+xx", or "+xxx" for |x| >= 100.
char* put_e(char* out, double v, int w, int d);
// Iw.m (m < 0: plain Iw): at least m digits, w asterisks on overflow.
char* put_i(char* out, std::int64_t v, int w, int m);
// I0: the digits in as few characters as possible. Returns the end.
char* put_i0(char* out, std::int64_t v);

// The exact slow paths of put_f and put_e, always taken when the fast paths
// are switched off. Tests compare both.
char* put_f_exact(char* out, double v, int w, int d);
char* put_e_exact(char* out, double v, int w, int d);

// Numeric input fields. `field` holds the field's characters; a field cut
// short by the end of its line is simply shorter (missing positions are
// blanks). Returns false when the text is not a number (failure 64).
// Real fields (F, E, with d the implied decimals when there is no point):
bool parse_real(std::string_view field, int d, double& out);
bool parse_real_exact(std::string_view field, int d, double& out);
// Integer fields (Iw): a signed 32-bit integer.
bool parse_int(std::string_view field, std::int32_t& out);

// Switches the fast paths of put_f, put_e and parse_real on (default) or off;
// used by tests to compare whole-program output against the exact paths.
void set_fast_paths(bool on);
bool fast_paths();

// ---------------------------------------------------------------------------
// Line formats

// One entry of a line format: a field code with its repeat count.
struct FieldCode {
  enum Kind : char { kSkip = 'X', kText = 'A', kInt = 'I', kFixed = 'F', kExp = 'E' };
  Kind kind;
  int repeat = 1;
  int w = 0;              // width; for nX the count n; 0 for plain A and for I0
  int d = 0;              // decimals (F) or significant digits (E)
  int m = -1;             // Iw.m minimum digits, -1 if absent
  int e = -1;             // Ew.dEe exponent digits, -1 if absent (no effect on input)
  bool has_width = true;  // false for plain A
};

// A compiled line format such as "(F11.3,4E12.4e2)". Compiling never throws:
// an invalid text gives a format whose use raises the format syntax failure
// (62) at the statement that uses it, as the runtime of the language did.
class LineFormat {
 public:
  static LineFormat compile(std::string_view text);
  // "(F11.3," + n + "E12.4e2)" and "(F11.3," + n + "E12.4)": the formats of a
  // DOSCAR data line and of an output line. The count is first written with
  // I0 into a two-character text, so 100 or more is the record-overflow
  // failure 66; 0 gives a format whose use is the syntax failure 62.
  static LineFormat data_in(int n);
  static LineFormat data_out(int n);

  bool valid() const { return valid_; }
  const std::vector<FieldCode>& codes() const { return codes_; }
  const std::string& text() const { return text_; }

  // Shape F w.d followed by a single repeated E entry: the data-line shape,
  // which readers and writers handle with a specialised loop.
  bool is_data_line() const;

 private:
  std::vector<FieldCode> codes_;
  std::string text_;
  bool valid_ = false;
};

// ---------------------------------------------------------------------------
// Files

// Where a failure is reported: stream number and file name.
struct Stream {
  int unit;
  std::string name;  // trailing blanks already removed
};

// Where an InFile takes its bytes from when it is not a file it opened
// itself: an open descriptor (pipe, FIFO), memory, decompressed data.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n (> 0) bytes into buf and returns how many; 0 only at the
  // end of the data. Throws Failure: the read error 39 with its errno; for
  // decompressed data 24 when the data ends early and 64 when it is corrupt,
  // with detail().cause in words. The InFile reading it puts its own stream
  // and the line it got to on the failure.
  virtual std::size_t read(char* buf, std::size_t n) = 0;
};

// The bytes of the descriptor fd, read with read(2); closed with the source
// when `owned`.
std::unique_ptr<ByteSource> descriptor_source(int fd, bool owned);
// The bytes of the file open as fd from `offset` on, read with pread(2), so
// that several sources read one descriptor each at its own place.
std::unique_ptr<ByteSource> positioned_source(int fd, std::int64_t offset);
// The `size` bytes at `data`, which must outlive the source.
std::unique_ptr<ByteSource> memory_source(const char* data, std::size_t size);

// The text of `raw`: gzip data (several members too), xz and bzip2 data,
// recognised by their first bytes, decompressed by a second thread as the
// reader asks for it; anything else unchanged. `compression` receives
// "gzip", "xz", "bzip2" or "". In the library pdsplit_io, which links zlib,
// liblzma and libbz2; the program does not use it.
std::unique_ptr<ByteSource> decompressed(std::unique_ptr<ByteSource> raw,
                                         std::string* compression = nullptr);
// `head`, then the bytes of `rest`: data whose first bytes were looked at.
std::unique_ptr<ByteSource> replayed(std::string head, std::unique_ptr<ByteSource> rest);

// A file opened read-only for sequential lines. Reads in large blocks.
class InFile {
 public:
  // Opens `name` read-only; throws Failure (9, 29, 30, 43) on failure.
  InFile(int unit, std::string_view name);
  // Error-returning open: 0 on success, else the failure number.
  static int try_open(int unit, std::string_view name, std::unique_ptr<InFile>& out);
  // Lines of `source`, reported as the stream `unit`, `name`.
  InFile(int unit, std::string_view name, std::unique_ptr<ByteSource> source);
  ~InFile();
  InFile(const InFile&) = delete;
  InFile& operator=(const InFile&) = delete;

  // Next line without its LF (and one CR before it). Lines longer than
  // kMaxLine keep only their first kMaxLine characters. Returns false at the
  // end of the file; throws the read failure 39 on an OS error.
  bool next(std::string_view& line);
  // Next line, or the end-of-input failure 24.
  std::string_view line();
  // Skip read: passes over one line whatever it holds; 24 at the end.
  void skip() { line(); }
  // Lines returned so far: the number of the last one. The end-of-input
  // failure carries it as its line.
  std::int64_t lines() const { return lines_; }

  // Limits for readers of files that may hold anything (the library's;
  // the command line sets none): a line longer than `max_line` bytes, or a
  // NUL byte in lines 1 ... `nul_free`, throws `number` (cause "not-text")
  // instead of the line being passed over or read; a last line whose bytes
  // from its first NUL on are all NUL up to the end of the data (or beyond
  // max_line) throws the end-of-input failure 24 (cause "truncated",
  // first_column where the NUL bytes start): the data ends there, as a job
  // killed while writing leaves it on file systems that fill the rest with
  // zeros.
  struct Limits {
    std::size_t max_line = 0;
    std::int64_t nul_free = 0;
    int number = 0;
  };
  void set_limits(const Limits& limits) { limits_ = limits; }

  const Stream& stream() const { return stream_; }
  static constexpr std::size_t kMaxLine = 1 << 16;

 private:
  InFile(int unit, std::string_view name, int fd);
  bool fill();
  void pass_long_line();
  void check_line(std::string_view line, bool ended);
  [[noreturn]] void refuse_line(std::size_t nul);

  std::size_t read_source(char* buf, std::size_t n);

  Stream stream_;
  int fd_ = -1;
  std::unique_ptr<ByteSource> source_;  // when set, read instead of fd_
  // Not zero-filled: only the bytes read into it, [pos_, end_), are looked at.
  struct Buffer {
    explicit Buffer(std::size_t size)
        : bytes(std::make_unique_for_overwrite<char[]>(size)), n(size) {}
    char* data() const { return bytes.get(); }
    std::size_t size() const { return n; }
    std::unique_ptr<char[]> bytes;
    std::size_t n;
  } buf_;
  std::size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  std::int64_t lines_ = 0;
  std::string long_line_;  // holds a line that does not fit the buffer
  Limits limits_;
};

// Where the bytes of `line` from its first NUL on are all NUL: the index of
// that NUL; npos when the line holds no NUL or text follows one.
std::size_t nul_padding(std::string_view line);

// A file opened write-only, created with mode 0666 & ~umask and emptied.
class OutFile {
 public:
  // Throws Failure (9, 29, 30, 43) when the open fails.
  OutFile(int unit, std::string_view name);
  ~OutFile();  // closes without reporting; call close() to report failures
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  // Room for at least n more characters at the returned pointer; commit
  // with advance(). Flushes as needed (write failure 38).
  char* reserve(std::size_t n);
  void advance(char* end) { pos_ = static_cast<std::size_t>(end - buf_.data()); }
  void write(std::string_view s);
  void flush();
  void close();  // flush, close; failure 38 on error

  const Stream& stream() const { return stream_; }

 private:
  Stream stream_;
  int fd_ = -1;
  std::vector<char> buf_;
  std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Formatted records

// Values handed to a formatted write, in order.
struct Value {
  enum Kind { kText, kInt, kReal } kind;
  std::string_view text;
  std::int64_t i = 0;
  double r = 0;
  Value(std::string_view s) : kind(kText), text(s) {}
  Value(const char* s) : kind(kText), text(s) {}
  Value(int v) : kind(kInt), i(v) {}
  Value(std::int64_t v) : kind(kInt), i(v) {}
  Value(double v) : kind(kReal), r(v) {}
};

// Formatted write of one line into `line` (no LF); raises 62 through
// `where` for an invalid format.
void format_line(std::string& line, const LineFormat& fmt, const std::vector<Value>& values,
                 const Stream& where);

// Receiving variables of a formatted read, in order.
struct Target {
  enum Kind { kText, kInt, kReal } kind;
  std::string* text = nullptr;  // receives a text of length `len`
  std::size_t len = 0;
  std::int32_t* i = nullptr;
  double* r = nullptr;
  static Target Text(std::string& s, std::size_t len) { return {kText, &s, len, nullptr, nullptr}; }
  static Target Int(std::int32_t& v) { return {kInt, nullptr, 0, &v, nullptr}; }
  static Target Real(double& v) { return {kReal, nullptr, 0, nullptr, &v}; }
};

// Formatted read of one line: raises 62 (invalid format) or 64 (malformed
// number) through `where`.
void read_fields(std::string_view line, const LineFormat& fmt, const std::vector<Target>& targets,
                 const Stream& where);

// Fills the detail of a failure `f` of the read of `line`, line `number` of
// its file, with `fmt`: the line and, for the malformed-number failure 64,
// the columns and text of the first numeric field that the exact parsers
// refuse. Only a failure pays for this search: the fast read paths keep no
// positions.
void locate_malformed_field(Failure& f, std::string_view line, const LineFormat& fmt,
                            std::int64_t number);

// Data line F w.d then n E-fields into out[0..n]: the specialised read of a
// DOSCAR data line. `fmt` must be a valid data-line format.
void read_data_line(std::string_view line, const LineFormat& fmt, double* out, const Stream& where);
// Data line output: energy (already shifted) then n values, LF-terminated.
char* put_data_line(char* out, const LineFormat& fmt, double energy, const double* values);
// Characters of one output data line including its LF.
std::size_t data_line_length(const LineFormat& fmt);

// Compact value fields. A data-line value field in the shape E12.4 writes
// (" -0.1234E-05") is kept as a 32-bit code of its digits, sign and exponent,
// which E12.4 writes back unchanged; any other field is kept as a double in
// a side table that the code (with kSpecialCode set) points to.
using ValueCode = std::uint32_t;
constexpr ValueCode kSpecialCode = 0x80000000u;
// The exact double of a code.
double code_value(ValueCode c, const std::vector<double>& specials);
// A code for `v`, stored in the side table.
ValueCode special_code(double v, std::vector<double>& specials);
// sum[k] += code_value(codes[k], specials) for k = 0 ... n-1, in that order.
void add_code_values(double* sum, const ValueCode* codes, std::size_t n,
                     const std::vector<double>& specials);
// Reads a data line (F w.d, then n E fields) into its energy and n codes;
// raises 64 through `where` for a malformed field.
void read_coded_line(std::string_view line, const LineFormat& fmt, double& energy, ValueCode* codes,
                     std::vector<double>& specials, const Stream& where);
// Writes a data line from an energy (already shifted) and n codes, with LF.
char* put_coded_line(char* out, const LineFormat& fmt, double energy, const ValueCode* codes,
                     const std::vector<double>& specials);
// Switches the vector check of a whole line's value fields (where the
// processor has one) on (default) or off, leaving the field-by-field check;
// used by tests to run both.
void set_vector_checks(bool on);

// Internal write of one integer into a text of `len` characters; raises the
// record-overflow failure 66 when the result does not fit.
std::string internal_write(const LineFormat& fmt, std::int64_t v, std::size_t len,
                           const Stream& where);

// ---------------------------------------------------------------------------
// Console

// Free-form write: one blank, the texts as they stand, LF, on standard output.
void say(std::string_view a = {}, std::string_view b = {});
// Formatted write of one console line.
void say_formatted(const LineFormat& fmt, const std::vector<Value>& values);
// Flushes standard output (before anything goes to standard error).
void flush_console();

// ---------------------------------------------------------------------------
// Free-form integer read (from a command-line argument)

struct FreeInt {
  enum Status { kValue, kNull, kSyntax, kEnd } status;
  std::int32_t value = 0;
};
// Reads one integer from `text`: kValue with the value, kNull for a null value
// (the receiver stays unchanged), kSyntax for failure 59, kEnd when the text
// holds only blanks (the end-of-input failure 24).
FreeInt read_free_int(std::string_view text);

}  // namespace pds
