#include "import/record_puts.h"

#include <utility>

namespace vossick {

Result<ImportCursors> open_import_cursors(const Transaction& txn, const Databases& dbs) {
  return ImportCursors::open(dbs, [&](MDB_dbi dbi) { return Cursor::open(txn, dbi); });
}

Error conflicting_record_error(uint64_t id, uint64_t line) {
  return Error::message("conflicting records for object id " + std::to_string(id) + ": line " + line_number_text(line) +
                        " of the input differs from the record already imported for that id");
}

std::string line_number_text(uint64_t line) {
  std::string digits = std::to_string(line);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

}  // namespace vossick
