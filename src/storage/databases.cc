#include "storage/databases.h"

namespace vossick {

namespace {

// The databases, in the order they are opened, with their flags.
struct DatabaseSpec {
  const char* name;
  unsigned flags;
  MDB_dbi Databases::*handle;
};
constexpr DatabaseSpec kDatabaseSpecs[] = {
    {"primary", MDB_INTEGERKEY, &Databases::primary},
    {"referrers", MDB_INTEGERKEY | MDB_DUPSORT | MDB_DUPFIXED, &Databases::referrers},
    {"types", MDB_DUPSORT | MDB_DUPFIXED, &Databases::types},
    {"types_size_index", MDB_DUPSORT | MDB_DUPFIXED, &Databases::types_size_index},
    {"types_subtree_size_index", MDB_DUPSORT | MDB_DUPFIXED, &Databases::types_subtree_size_index},
    {"type_summaries", 0, &Databases::type_summaries},
    {"reference_labels", MDB_INTEGERKEY, &Databases::reference_labels},
    {"allocation_sites", MDB_INTEGERKEY, &Databases::allocation_sites},
    {"dominator_tree", MDB_INTEGERKEY, &Databases::dominator_tree},
    {"dominated_by_root", 0, &Databases::dominated_by_root},
    {"types_retained_size_index", 0, &Databases::types_retained_size_index},
    {"retained_state", 0, &Databases::retained_state},
};

// LMDB's code of the first database that fails to open, 0 when all open.
int open_databases(const Transaction& txn, unsigned extra_flags, Databases& dbs) {
  for (const DatabaseSpec& spec : kDatabaseSpecs) {
    if (int rc = mdb_dbi_open(txn.raw(), spec.name, spec.flags | extra_flags, &(dbs.*spec.handle)); rc != 0) {
      return rc;
    }
  }
  return 0;
}

}  // namespace

Result<Databases> Databases::open(Environment& env, StopCheck& stop) {
  {
    VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(env));
    Databases dbs;
    const int rc = open_databases(txn, 0, dbs);
    if (rc == 0) {
      // Committing a read-only transaction keeps its handles for the environment.
      VOSSICK_TRY(txn.commit());
      return dbs;
    }
    if (rc != MDB_NOTFOUND) return Error::lmdb(rc);
  }
  return create(env, stop);
}

Result<Databases> Databases::create(Environment& env, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_write(env, stop));
  Databases dbs;
  if (int rc = open_databases(txn, MDB_CREATE, dbs); rc != 0) return Error::lmdb(rc);
  VOSSICK_TRY(txn.commit());
  return dbs;
}

Status put_reverse_edge(Cursor& referrers, uint64_t referenced_id, uint64_t referrer_id) {
  const EncodedId key = encode_id(referenced_id);
  const EncodedId value = encode_id(referrer_id);
  return referrers.put(id_key(key), id_key(value));
}

Status put_type_id(Cursor& types, std::string_view type_key, uint64_t id) {
  const EncodedId value = encode_id(id);
  return types.put(type_key, id_key(value));
}

Status put_size_index_entry(Cursor& size_index, std::string_view type_key, const SizeIndexEntry& entry) {
  const EncodedSizeIndexEntry value = encode_size_index_entry(entry);
  return size_index.put(type_key, value.view());
}

Status put_type_summary(const Transaction& txn, const Databases& dbs, std::string_view type_key,
                        const TypeSummary& summary) {
  const EncodedTypeSummary value = encode_type_summary(summary);
  return put_value(txn, dbs.type_summaries, type_key, value.view());
}

Result<std::optional<TypeSummary>> get_type_summary(const Transaction& txn, const Databases& dbs,
                                                    std::string_view type_key) {
  VOSSICK_ASSIGN_OR_RETURN(auto bytes, get_value(txn, dbs.type_summaries, type_key));
  if (!bytes) return std::optional<TypeSummary>();
  VOSSICK_ASSIGN_OR_RETURN(TypeSummary summary, decode_type_summary(*bytes));
  return std::optional<TypeSummary>(summary);
}

}  // namespace vossick
