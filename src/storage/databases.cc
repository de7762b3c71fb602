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

Result<bool> all_databases_empty(const Transaction& txn, const Databases& dbs) {
  for (const DatabaseSpec& spec : kDatabaseSpecs) {
    MDB_stat stat{};
    if (int rc = mdb_stat(txn.raw(), dbs.*spec.handle, &stat); rc != 0) return Error::lmdb(rc);
    if (stat.ms_entries != 0) return false;
  }
  return true;
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
