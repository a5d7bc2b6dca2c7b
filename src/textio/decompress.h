// The second thread behind decompressed(): decoding runs ahead of the reader.
#pragma once

#include <memory>

#include "textio/textio.h"

namespace pds {

// The bytes of `inner`, read by a second thread into a small queue of chunks
// while the calling thread parses the ones before them. A failure of
// `inner` is thrown by read() after the bytes that came before it. When no
// thread can be started, read() reads `inner` on the calling thread.
std::unique_ptr<ByteSource> read_ahead(std::unique_ptr<ByteSource> inner);

}  // namespace pds
