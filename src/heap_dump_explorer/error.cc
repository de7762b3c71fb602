#include <lmdb.h>

#include "heap_dump_explorer/result.h"

namespace vossick {

Error Error::lmdb(int code) { return Error(ErrorKind::kStorage, mdb_strerror(code), code); }

Error Error::decoding(std::string_view cause) {
  std::string text = "error while decoding: ";
  text.append(cause);
  return Error(ErrorKind::kDecoding, std::move(text));
}

}  // namespace vossick
