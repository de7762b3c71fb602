#include "storage/type_keyed_batch.h"

namespace vossick {

uint32_t BatchTypeNames::number(std::string_view name) {
  if (names_.empty()) {
    names_.emplace_back(kAllTypesName);
    numbers_.emplace(kAllTypesName, kAllTypes);
  }
  if (auto it = numbers_.find(name); it != numbers_.end()) return it->second;
  const auto number = static_cast<uint32_t>(names_.size());
  names_.emplace_back(name);
  numbers_.emplace(name, number);
  return number;
}

const std::vector<uint32_t>& BatchTypeNames::ranks() {
  by_rank_.resize(names_.size());
  for (uint32_t i = 0; i < by_rank_.size(); ++i) by_rank_[i] = i;
  // std::string compares its bytes as unsigned, as LMDB does.
  std::sort(by_rank_.begin(), by_rank_.end(), [&](uint32_t a, uint32_t b) { return names_[a] < names_[b]; });
  ranks_.resize(names_.size());
  for (uint32_t r = 0; r < by_rank_.size(); ++r) ranks_[by_rank_[r]] = r;
  return ranks_;
}

void BatchTypeNames::clear() {
  names_.clear();
  numbers_.clear();
}

Status put_size_entries_in_key_order(Cursor& size_index, std::vector<SizeEntryPut>& entries, BatchTypeNames& types) {
  // The encoded order: largest size first, then ascending id.
  const auto before = [](const SizeEntryPut& a, const SizeEntryPut& b) {
    return a.entry.size != b.entry.size ? a.entry.size > b.entry.size : a.entry.id < b.entry.id;
  };
  return put_under_type_and_all_types(entries, types, before, [&](std::string_view name, const SizeEntryPut& put) {
    return put_size_index_entry(size_index, name, put.entry);
  });
}

}  // namespace vossick
