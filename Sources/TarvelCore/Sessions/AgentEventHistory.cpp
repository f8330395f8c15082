#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <memory>
#include <vector>

#include "TarvelCore/Sessions/AgentSession.hpp"

// A session's recent events: shared, newest first, bounded, each kept as its text where that
// gives it back exactly.
namespace tarvel {

// One kept event: its text, or the record itself when the text would not give it back.
struct AgentEventHistory::Stored {
  std::string text;
  std::unique_ptr<const AgentEvent> exact;

  AgentEvent event() const {
    if (exact) {
      return *exact;
    }
    auto decoded = decodeEventLine(text);
    // Only texts that decoded back to their event are kept, so this cannot fail.
    return decoded ? std::move(*decoded) : AgentEvent{};
  }
};

namespace {

using Entry = AgentEventHistory::Storage::value_type;

bool newerThan(const Entry& a, const Entry& b) { return a.timestamp > b.timestamp; }

}  // namespace

namespace {

bool wholeMillisecond(Date date) {
  return Dates::isWritable(date) &&
         date.time_since_epoch() % std::chrono::milliseconds(1) == std::chrono::microseconds(0);
}

// Whether decoding the event's text certainly gives the event back, known without decoding it:
// its parts are those whose coders only copy values (texts, numbers, names, the id, the origin,
// the metadata), its times are whole milliseconds the wire can write, its provider name is one
// that decoding does not lowercase, its URL one the decoder accepts, and no text needed
// replacing for not being UTF-8 (the encoder writes U+FFFD for such bytes; a text holding one is
// decoded to be sure). Every event from the hooks is such an event; others are decoded.
bool decodesPlainly(const AgentEvent& event, std::string_view text) {
  if (event.plan || event.workflowUpdate || event.pendingReply) {
    return false;
  }
  if (!wholeMillisecond(event.timestamp) ||
      (event.origin && event.origin->processStartedAt &&
       !wholeMillisecond(*event.origin->processStartedAt))) {
    return false;
  }
  if (event.applicationURL && !isValidURLString(*event.applicationURL)) {
    return false;
  }
  const std::string& provider = event.provider.rawValue;
  if (std::any_of(provider.begin(), provider.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 0x80;
      })) {
    return false;
  }
  return text.find("\xEF\xBF\xBD") == std::string_view::npos;
}

// Whether the text decodes to the event.
bool decodesTo(std::string_view text, const AgentEvent& event) {
  const auto decoded = decodeEventLine(text);
  return decoded && *decoded == event;
}

// The event as kept: its text when decoding that text gives the same event again (which
// holds for every event that came over the wire), else a copy of the record.
template <typename StoredEvent>
std::shared_ptr<const StoredEvent> kept(const AgentEvent& event) {
  auto stored = std::make_shared<StoredEvent>();
  try {
    std::string text = encodeJSON(event);
    const bool plain = decodesPlainly(event, text);
#ifndef NDEBUG
    // Debug builds (the tests') check the shortcut against the decoder itself.
    if (plain && !decodesTo(text, event)) {
      std::fputs("AgentEventHistory: an event taken as decoding plainly did not\n", stderr);
      std::abort();
    }
#endif
    if (plain || decodesTo(text, event)) {
      text.shrink_to_fit();
      stored->text = std::move(text);
      return stored;
    }
  } catch (const std::exception&) {
    // Not encodable (text that is not UTF-8): the record is kept instead.
  }
  stored->exact = std::make_unique<const AgentEvent>(event);
  return stored;
}

// An entry for the event.
template <typename StoredEvent>
AgentEventHistory::Storage::value_type keep(const AgentEvent& event) {
  return {.timestamp = event.timestamp, .event = kept<StoredEvent>(event)};
}

}  // namespace

AgentEvent AgentEventHistory::ConstIterator::operator*() const {
  return position->event->event();
}

AgentEventHistory::AgentEventHistory(std::initializer_list<AgentEvent> events)
    : AgentEventHistory(std::vector<AgentEvent>(events)) {}

AgentEventHistory::AgentEventHistory(std::vector<AgentEvent> events) {
  if (!events.empty()) {
    storage = std::make_shared<Storage>();
    storage->reserve(events.size());
    for (const AgentEvent& event : events) {
      storage->push_back(keep<Stored>(event));
    }
  }
}

AgentEvent AgentEventHistory::operator[](std::size_t index) const {
  return (*storage)[index].event->event();
}

// Value-initialised iterators compare equal, so an empty history needs no buffer.
AgentEventHistory::ConstIterator AgentEventHistory::begin() const {
  return storage ? ConstIterator(storage->cbegin()) : ConstIterator();
}

AgentEventHistory::ConstIterator AgentEventHistory::end() const {
  return storage ? ConstIterator(storage->cend()) : ConstIterator();
}

std::vector<AgentEvent> AgentEventHistory::toVector() const {
  std::vector<AgentEvent> events;
  events.reserve(size());
  for (std::size_t index = 0; index < size(); ++index) {
    events.push_back((*this)[index]);
  }
  return events;
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
  if (storage && std::is_sorted(storage->begin(), storage->end(), newerThan)) {
    // Where a stable newest-first sort of the appended list puts it: after every event with the
    // same or a later timestamp. An event that would fall beyond the limit is not kept at all.
    const auto position =
        std::partition_point(storage->begin(), storage->end(),
                             [&](const Entry& entry) { return entry.timestamp >= event.timestamp; });
    const auto index = static_cast<std::size_t>(position - storage->begin());
    if (index >= limit) {
      return;
    }
    auto shared = keep<Stored>(event);
    Storage& events = mutableStorage();
    events.insert(events.begin() + static_cast<std::ptrdiff_t>(index), std::move(shared));
    if (events.size() > limit) {
      events.resize(limit);
    }
    return;
  }
  Storage& events = mutableStorage();
  events.push_back(keep<Stored>(event));
  std::stable_sort(events.begin(), events.end(), newerThan);
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
  std::vector<const Stored*> removing;
  for (const Entry& entry : *storage) {
    if (shouldRemove(entry.event->event())) {
      removing.push_back(entry.event.get());
    }
  }
  if (removing.empty()) {
    return 0;
  }
  Storage& events = mutableStorage();
  const auto removed = std::erase_if(events, [&](const Entry& entry) {
    return std::find(removing.begin(), removing.end(), entry.event.get()) != removing.end();
  });
  return static_cast<std::size_t>(removed);
}

std::vector<std::string_view> AgentEventHistory::texts(std::vector<std::string>& scratch,
                                                       std::size_t limit) const {
  std::vector<std::string_view> result;
  const std::size_t count = std::min(limit, size());
  result.reserve(count);
  // The encodings of kept records go to `scratch`, reserved first so that views stay valid.
  std::size_t records = 0;
  for (std::size_t index = 0; index < count; ++index) {
    records += (*storage)[index].event->exact ? 1 : 0;
  }
  scratch.reserve(scratch.size() + records);
  for (std::size_t index = 0; index < count; ++index) {
    const Stored& stored = *(*storage)[index].event;
    if (stored.exact) {
      scratch.push_back(encodeJSON(*stored.exact));
      result.emplace_back(scratch.back());
    } else {
      result.emplace_back(stored.text);
    }
  }
  return result;
}

bool AgentEventHistory::operator==(const AgentEventHistory& other) const {
  if (storage == other.storage) {
    return true;
  }
  if (size() != other.size()) {
    return false;
  }
  for (std::size_t i = 0; i < size(); ++i) {
    const Stored& a = *(*storage)[i].event;
    const Stored& b = *(*other.storage)[i].event;
    if (&a == &b) {
      continue;
    }
    // Equal events have equal texts, and a kept text decodes to its event: two texts are equal
    // exactly when their events are. A text and a record never are (the record would have been
    // kept as that text).
    if (a.exact && b.exact ? !(*a.exact == *b.exact)
                           : (a.exact || b.exact || a.text != b.text)) {
      return false;
    }
  }
  return true;
}

}  // namespace tarvel
