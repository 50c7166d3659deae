#include "plugins/caller_loop.h"

namespace vqflow {

void Registration::drop() {
  std::lock_guard lock(mutex);
  if (!descriptor) return;
  descriptor->release();  // deregisters; the worker keeps the pipe open
  descriptor.reset();
}

void RegistrationService::add(const std::shared_ptr<Registration>& registration) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_, [](const auto& weak) { return weak.expired(); });
  registrations_.push_back(registration);
}

void RegistrationService::shutdown() {
  std::vector<std::weak_ptr<Registration>> registrations;
  {
    std::lock_guard lock(mutex_);
    registrations.swap(registrations_);
  }
  for (const auto& weak : registrations)
    if (auto registration = weak.lock()) registration->drop();
}

}  // namespace vqflow
