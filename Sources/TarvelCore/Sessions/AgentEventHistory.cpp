#include "TarvelCore/Sessions/AgentSession.hpp"

#include <algorithm>
#include <memory>
#include <vector>

// A session's recent events: shared, newest first, bounded.
namespace tarvel {

namespace {

bool newerThan(const std::shared_ptr<const AgentEvent>& a,
               const std::shared_ptr<const AgentEvent>& b) {
  return a->timestamp > b->timestamp;
}

AgentEventHistory::Storage sharedEvents(std::vector<AgentEvent> events) {
  AgentEventHistory::Storage storage;
  storage.reserve(events.size());
  for (auto& event : events) {
    storage.push_back(std::make_shared<const AgentEvent>(std::move(event)));
  }
  return storage;
}

}  // namespace

AgentEventHistory::AgentEventHistory(std::initializer_list<AgentEvent> events)
    : AgentEventHistory(std::vector<AgentEvent>(events)) {}

AgentEventHistory::AgentEventHistory(std::vector<AgentEvent> events) {
  if (!events.empty()) {
    storage = std::make_shared<Storage>(sharedEvents(std::move(events)));
  }
}

// Value-initialised iterators compare equal, so an empty history needs no buffer.
AgentEventHistory::ConstIterator AgentEventHistory::begin() const {
  return storage ? ConstIterator(storage->cbegin()) : ConstIterator();
}

AgentEventHistory::ConstIterator AgentEventHistory::end() const {
  return storage ? ConstIterator(storage->cend()) : ConstIterator();
}

std::vector<AgentEvent> AgentEventHistory::toVector() const {
  return std::vector<AgentEvent>(begin(), end());
}

AgentEventHistory::Storage& AgentEventHistory::mutableStorage() {
  if (!storage) {
    storage = std::make_shared<Storage>();
  } else if (storage.use_count() > 1) {
    storage = std::make_shared<Storage>(*storage);
  } else {
    // The last other copy may have been released on another thread just now; order its reads of
    // the buffer before this copy's writes.
    std::atomic_thread_fence(std::memory_order_acquire);
  }
  return *storage;
}

void AgentEventHistory::record(const AgentEvent& event, std::size_t limit) {
  Storage& events = mutableStorage();
  auto shared = std::make_shared<const AgentEvent>(event);
  if (std::is_sorted(events.begin(), events.end(), newerThan)) {
    // Where a stable newest-first sort of the appended list puts it: after every event with the
    // same or a later timestamp.
    const auto position = std::upper_bound(events.begin(), events.end(), shared, newerThan);
    if (static_cast<std::size_t>(position - events.begin()) >= limit) {
      return;
    }
    events.insert(position, std::move(shared));
  } else {
    events.push_back(std::move(shared));
    std::stable_sort(events.begin(), events.end(), newerThan);
  }
  if (events.size() > limit) {
    events.resize(limit);
  }
}

void AgentEventHistory::sortAndTruncate(std::size_t limit) {
  if (!storage) {
    return;
  }
  const bool sorted = std::is_sorted(storage->begin(), storage->end(), newerThan);
  if (sorted && storage->size() <= limit) {
    return;
  }
  Storage& events = mutableStorage();
  if (!sorted) {
    std::stable_sort(events.begin(), events.end(), newerThan);
  }
  if (events.size() > limit) {
    events.resize(limit);
  }
}

std::size_t AgentEventHistory::removeIf(
    const std::function<bool(const AgentEvent&)>& shouldRemove) {
  if (!storage) {
    return 0;
  }
  const auto matches = [&](const std::shared_ptr<const AgentEvent>& event) {
    return shouldRemove(*event);
  };
  if (std::none_of(storage->begin(), storage->end(), matches)) {
    return 0;
  }
  Storage& events = mutableStorage();
  const auto removed = std::erase_if(events, matches);
  return static_cast<std::size_t>(removed);
}

bool AgentEventHistory::operator==(const AgentEventHistory& other) const {
  if (storage == other.storage) {
    return true;
  }
  if (size() != other.size()) {
    return false;
  }
  for (std::size_t i = 0; i < size(); ++i) {
    const auto& a = (*storage)[i];
    const auto& b = (*other.storage)[i];
    if (a != b && !(*a == *b)) {
      return false;
    }
  }
  return true;
}

}  // namespace tarvel
