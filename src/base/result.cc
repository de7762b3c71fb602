#include <lmdb.h>

#include <cstring>
#include <string>

#include "base/result.h"

namespace vossick {

Error Error::lmdb(int code) { return Error(ErrorKind::kStorage, mdb_strerror(code), code); }

Error Error::os(int err) {
  return Error::message(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

Error Error::decoding(std::string_view cause) {
  std::string text = "error while decoding: ";
  text.append(cause);
  return Error(ErrorKind::kDecoding, std::move(text));
}

}  // namespace vossick
