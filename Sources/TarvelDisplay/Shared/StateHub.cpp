#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

void StateHub::publish(std::shared_ptr<const PublishedState> state) {
  {
    const std::scoped_lock guard(mutex);
    recent.push_back(
        {.revision = state->revision, .data = std::make_shared<const std::string>(state->change)});
    newest = std::move(state);
    while (recent.size() > retainedRevisions) {
      recent.pop_front();
    }
  }
  published.notify_all();
}

void StateHub::close() {
  {
    const std::scoped_lock guard(mutex);
    closed = true;
  }
  published.notify_all();
}

bool StateHub::isClosed() const {
  const std::scoped_lock guard(mutex);
  return closed;
}

std::shared_ptr<const PublishedState> StateHub::latest() const {
  const std::scoped_lock guard(mutex);
  return newest;
}

std::shared_ptr<const PublishedState> StateHub::waitForNewer(
    std::uint64_t after, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(mutex);
  published.wait_for(guard, timeout,
                     [&] { return closed || (newest && newest->revision > after); });
  return newest;
}

std::optional<std::vector<StateHub::Change>> StateHub::since(std::uint64_t after) const {
  const std::scoped_lock guard(mutex);
  std::vector<Change> list;
  if (recent.empty() || recent.back().revision <= after) {
    return list;
  }
  if (recent.front().revision > after + 1) {
    return std::nullopt;
  }
  for (const Change& change : recent) {
    if (change.revision > after) {
      list.push_back(change);
    }
  }
  return list;
}

}  // namespace tarvel::Display
