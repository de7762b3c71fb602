#include "heap_dump_explorer/import.h"

#include "heap_dump_explorer/primary.h"

namespace vossick {

Result<ImportSession> ImportSession::begin(const Explorer& explorer) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_write(explorer.env()));
  return ImportSession(std::move(txn), explorer.dbs());
}

Status ImportSession::add_line(std::string_view line) {
  VOSSICK_TRY(parse_record(line, record_));
  VOSSICK_TRY(put_record(txn_, *dbs_, record_, scratch_));
  for (uint64_t referenced : record_.references) {
    VOSSICK_TRY(put_reverse_edge(txn_, *dbs_, referenced, record_.id));
  }
  const SizeIndexEntry entry{record_.size, record_.id};
  VOSSICK_TRY(put_type_id(txn_, *dbs_, record_.type, record_.id));
  VOSSICK_TRY(put_type_id(txn_, *dbs_, kAllTypesName, record_.id));
  VOSSICK_TRY(put_size_index_entry(txn_, dbs_->types_size_index, record_.type, entry));
  VOSSICK_TRY(put_size_index_entry(txn_, dbs_->types_size_index, kAllTypesName, entry));
  return ok_status();
}

Status ImportSession::commit() { return txn_.commit(); }

}  // namespace vossick
