#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelDisplay/Shared/Answerers.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

// The event stream of one connection (GET /v1/events): the whole state, then each revision's
// change, with a comment line to keep it alive while nothing changes. Messages are made only when
// the connection can take more, from the newest state: a slow reader never makes anything queue
// up for it. What it has yet to send refers to the published texts themselves (shared with every
// other reader and the hub), so a stalled reader holds only its own small message headers.
// Thread: libmicrohttpd's thread of the connection; owned by the connection's response. `hub` and
// `answerers` must outlive it.
class EventStream {
 public:
  // A stream sends a comment line after this long without a message.
  static constexpr std::chrono::seconds keepAliveInterval{15};
  // A reader that leaves what was sent untaken this long is cut off (`StalledReaders`).
  static constexpr std::chrono::seconds stallLimit{10};
  // How often a waiting stream looks whether its reader has gone.
  static constexpr std::chrono::milliseconds hangUpCheckInterval{200};

  // `descriptor`: the connection's socket, watched for the reader going away (-1: not watched).
  // With `kind`, the reader counts among `answerers` (when given) while the stream lasts.
  EventStream(const StateHub& hub, int descriptor, Answerers* answerers,
              std::optional<Answerers::Kind> kind)
      : hub(hub), descriptor(descriptor), answerers(answerers) {
    if (answerers != nullptr && kind) {
      attachment = answerers->attach(*kind);
    }
  }
  ~EventStream() { detach(); }
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;
  EventStream(EventStream&&) = delete;
  EventStream& operator=(EventStream&&) = delete;

  // libmicrohttpd's content reader: up to `maximum` bytes of the stream `cls` into `buffer`; the
  // end of the stream once the hub closes or the reader has gone.
  static ssize_t read(void* cls, std::uint64_t position, char* buffer, std::size_t maximum);

 private:
  // A part of the message being sent: either its own text or a view of a shared one.
  struct Piece {
    std::string own;
    std::shared_ptr<const void> keeper;  // keeps `shared` alive
    std::string_view shared;
    std::string_view text() const { return keeper ? shared : std::string_view(own); }
  };

  void detach();
  void add(std::string text);
  void add(std::shared_ptr<const void> keeper, std::string_view text);
  void wholeState(const std::shared_ptr<const PublishedState>& state);
  // Waits for a revision after `after` for up to `limit`, in short steps that look for a reader
  // who has gone, so that its connection (and its place among the answerers) is freed at once
  // rather than at the next change or keep-alive. False when the reader has gone.
  bool waitForNewer(std::uint64_t after, std::chrono::milliseconds limit);
  // Fills `pending` with what to send next; false at the end of the stream.
  bool next();
  // Whether the reader has closed its end (it sends nothing on a stream but may close it).
  bool readerLeft() const;

  const StateHub& hub;
  int descriptor = -1;         // the connection's socket, watched for the reader going away
  std::uint64_t revision = 0;  // the last revision sent; 0 before the first message
  std::vector<Piece> pending;
  std::size_t piece = 0;   // the piece being sent
  std::size_t offset = 0;  // within it
  Answerers* answerers = nullptr;
  std::optional<std::uint64_t> attachment;  // while the reader counts as an answerer
};

}  // namespace tarvel::Display
