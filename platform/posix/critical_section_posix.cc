// POSIX critical section: a std::mutex, which is what pthread gives us.
#include <mutex>

#include "platform/critical_section.h"

namespace platform {

struct CriticalSection::Impl {
  std::mutex mutex;
};

CriticalSection::CriticalSection() : impl_(std::make_unique<Impl>()) {}
CriticalSection::~CriticalSection() = default;

void CriticalSection::Enter() { impl_->mutex.lock(); }
void CriticalSection::Leave() { impl_->mutex.unlock(); }

}  // namespace platform
