#include "storage/writer_gate.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace vossick {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

// The descriptors of the gates this process holds or is waiting for. The
// fork handlers keep the list still while fork copies it.
std::mutex held_mutex;
std::vector<int>& held_descriptors() {
  static std::vector<int> descriptors;
  return descriptors;
}

void in_child_after_fork() {
  // Closing a copy drops no lock while the parent's copy stays open, and a
  // parent that dies or releases leaves no hold behind in the child. The
  // child's WriterGate objects find a new generation and leave their numbers
  // alone (they may be reused by then).
  for (int fd : held_descriptors()) ::close(fd);
  held_descriptors().clear();
  held_mutex.unlock();
}

void install_fork_handlers() {
  static std::once_flag once;
  std::call_once(once,
                 [] { pthread_atfork([] { held_mutex.lock(); }, [] { held_mutex.unlock(); }, in_child_after_fork); });
}

}  // namespace

Result<WriterGate> WriterGate::acquire(const std::string& data_file, StopCheck& stop) {
  install_fork_handlers();
  std::unique_lock lock(held_mutex);
  // Listed before it can be locked, so that no fork finds it locked and unlisted.
  const int fd = ::open(data_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::os(errno);
  held_descriptors().push_back(fd);
  WriterGate gate(fd, process_generation());
  lock.unlock();
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return gate;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Error::os(errno);
    if (stop.stop_requested()) return Error::interrupted();
    std::this_thread::sleep_for(kPollInterval);
  }
}

WriterGate& WriterGate::operator=(WriterGate&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    generation_ = other.generation_;
  }
  return *this;
}

void WriterGate::release() noexcept {
  const int fd = std::exchange(fd_, -1);
  if (fd < 0 || generation_ != process_generation()) return;  // a child's copy, closed at the fork
  // Unlocking first drops the hold even if a child forked meanwhile still
  // has a copy of the descriptor.
  ::flock(fd, LOCK_UN);
  std::lock_guard lock(held_mutex);
  auto& held = held_descriptors();
  held.erase(std::find(held.begin(), held.end(), fd));
  ::close(fd);
}

}  // namespace vossick
