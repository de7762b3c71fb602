// Preloaded into the unit tests when they run under qemu-user
// (scripts/cross_aarch64.sh). qemu 7.2 keeps a descriptor for every page of a
// guest mapping and does not give them back: each LMDB environment's 64 GiB
// map costs the emulator about 15 s and hundreds of megabytes, and the whole
// suite would need more memory than the machine has. The tests store far
// less than 1 GiB, so maps are capped there; a smaller map that a test asks
// for (to fill it on purpose) is kept as asked.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

typedef struct MDB_env MDB_env;
typedef int (*SetMapsize)(MDB_env*, size_t);

static SetMapsize lmdb_set_mapsize;

__attribute__((constructor)) static void find_lmdb_set_mapsize(void) {
  lmdb_set_mapsize = (SetMapsize)dlsym(RTLD_NEXT, "mdb_env_set_mapsize");
}

int mdb_env_set_mapsize(MDB_env* env, size_t size) {
  const size_t cap = (size_t)1 << 30;
  return lmdb_set_mapsize(env, size < cap ? size : cap);
}
