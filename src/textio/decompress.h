// The second thread behind decompressed(): decoding runs ahead of the reader.
#pragma once

#include <memory>
#include <string_view>

#include "textio/textio.h"

namespace pds {

// The bytes of `inner`, read by a second thread into a small queue of chunks
// while the calling thread parses the ones before them. A failure of
// `inner` is thrown by read() after the bytes that came before it. When no
// thread can be started, read() reads `inner` on the calling thread.
std::unique_ptr<ByteSource> read_ahead(std::unique_ptr<ByteSource> inner);

// gzip data decoded with ISA-L (decompress_isal.cpp, built when
// PDSPLIT_HAVE_ISAL is defined): `head`, the first bytes taken from `raw`,
// then the rest of `raw`. It fails as zlib's decoder does.
std::unique_ptr<ByteSource> isal_gzip(std::string_view head, std::unique_ptr<ByteSource> raw);

}  // namespace pds
