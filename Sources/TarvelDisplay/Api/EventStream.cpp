#include "TarvelDisplay/Api/EventStream.hpp"

#include <microhttpd.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarvel::Display {

void EventStream::detach() {
  if (answerers != nullptr && attachment) {
    answerers->detach(*std::exchange(attachment, std::nullopt));
  }
}

void EventStream::add(std::string text) {
  pending.push_back(Piece{.own = std::move(text)});
}

void EventStream::add(std::shared_ptr<const void> keeper, std::string_view text) {
  pending.push_back(Piece{.keeper = std::move(keeper), .shared = text});
}

void EventStream::wholeState(const std::shared_ptr<const PublishedState>& state) {
  add("event: state\nid: " + std::to_string(state->revision) + "\ndata: ");
  add(state, state->whole());
  add("\n\n");
  revision = state->revision;
}

bool EventStream::waitForNewer(std::uint64_t after, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (true) {
    if (readerLeft()) {
      detach();
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return true;
    }
    const auto state = hub.waitForNewer(after, std::min(left, hangUpCheckInterval));
    if (hub.isClosed() || (state && state->revision > after)) {
      return true;
    }
  }
}

bool EventStream::next() {
  pending.clear();
  piece = 0;
  offset = 0;
  while (pending.empty()) {
    if (hub.isClosed()) {
      return false;
    }
    if (revision == 0) {
      if (!waitForNewer(0, std::chrono::seconds(1))) {
        return false;
      }
      if (const auto state = hub.latest()) {
        wholeState(state);
      }
      continue;
    }
    const auto changes = hub.since(revision);
    if (!changes) {
      // Too far behind for the changes kept: start again from the whole state.
      wholeState(hub.latest());
      continue;
    }
    for (const StateHub::Change& change : *changes) {
      add("event: change\nid: " + std::to_string(change.revision) + "\ndata: ");
      add(change.data, *change.data);
      add("\n\n");
      revision = change.revision;
    }
    if (!pending.empty()) {
      break;
    }
    if (!waitForNewer(revision, keepAliveInterval)) {
      return false;
    }
    const auto state = hub.latest();
    if (!hub.isClosed() && (!state || state->revision <= revision)) {
      add(": keep-alive\n\n");
    }
  }
  return true;
}

bool EventStream::readerLeft() const {
  if (descriptor < 0) {
    return false;
  }
  pollfd entry{.fd = descriptor, .events = POLLRDHUP, .revents = 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

ssize_t EventStream::read(void* cls, std::uint64_t, char* buffer, std::size_t maximum) {
  auto& stream = *static_cast<EventStream*>(cls);
  std::size_t count = 0;
  while (count < maximum) {
    if (stream.piece >= stream.pending.size()) {
      if (count > 0 || !stream.next()) {
        break;
      }
      continue;
    }
    const std::string_view text = stream.pending[stream.piece].text();
    const std::size_t part = std::min(maximum - count, text.size() - stream.offset);
    std::memcpy(buffer + count, text.data() + stream.offset, part);
    count += part;
    stream.offset += part;
    if (stream.offset >= text.size()) {
      ++stream.piece;
      stream.offset = 0;
    }
  }
  if (count == 0) {
    return stream.readerLeft() ? MHD_CONTENT_READER_END_WITH_ERROR
                               : MHD_CONTENT_READER_END_OF_STREAM;
  }
  return static_cast<ssize_t>(count);
}

}  // namespace tarvel::Display
