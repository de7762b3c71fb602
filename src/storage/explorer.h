// The core of a heap-dump explorer: one open LMDB environment and the handles
// of its named databases. Immutable after open, so it may be shared by any
// number of threads; every operation brings its own transactions.
#pragma once

#include <memory>
#include <string_view>

#include "storage/databases.h"
#include "storage/environment.h"

namespace vossick {

class Explorer {
 public:
  // Opens the environment in the existing directory `path`; when its
  // databases are not all there yet, creates them, waiting for the writer
  // gate while `stop` lets it. On failure nothing stays open or registered.
  static Result<Explorer> open(std::string_view path, StopCheck& stop = never_stop());

  Environment& env() const noexcept { return *env_; }
  const Databases& dbs() const noexcept { return dbs_; }

 private:
  Explorer(std::shared_ptr<Environment> env, Databases dbs) : env_(std::move(env)), dbs_(dbs) {}

  std::shared_ptr<Environment> env_;
  Databases dbs_;
};

}  // namespace vossick
