// The shared inbox of a thread's queue, written by look-up workers.
#include "platform/TInbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace win::detail {

TInbox::TInbox() : FWakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (FWakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TInbox::~TInbox() { ::close(FWakeFd); }

void TInbox::Post(TLookupResult result) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FResults.push_back(std::move(result));
  }
  Wake();
}

void TInbox::Wake() {
  std::uint64_t one = 1;
  // The counter cannot overflow in practice; EINTR cannot happen on a non-blocking eventfd.
  [[maybe_unused]] ssize_t n = ::write(FWakeFd, &one, sizeof one);
}

std::vector<TLookupResult> TInbox::Take() {
  std::uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(FWakeFd, &count, sizeof count);
  std::lock_guard<std::mutex> guard(FLock);
  std::vector<TLookupResult> taken;
  taken.swap(FResults);
  return taken;
}

}  // namespace win::detail
