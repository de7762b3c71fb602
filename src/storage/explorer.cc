#include "storage/explorer.h"

namespace vossick {

Result<Explorer> Explorer::open(std::string_view path, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(std::shared_ptr<Environment> env, Environment::open(path));
  VOSSICK_ASSIGN_OR_RETURN(Databases dbs, Databases::open(*env, stop));
  return Explorer(std::move(env), dbs);
}

}  // namespace vossick
