#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace tarvel::Display {

// The surfaces that can answer a prompt right now: each terminal display and web page attached to
// the event stream as an answerer, the desktop notifier while a notification service with
// actions is on the session bus, and the phone while its push service takes messages. The
// service holds a prompt only while there is one.
// Thread: every function may be called from any thread; `changed` runs outside the lock on the
// thread that made the change, after every attach and detach, with the number attached then.
class Answerers {
 public:
  enum class Kind { terminal, web, notifications, phone };
  struct Entry {
    std::uint64_t id = 0;
    Kind kind = Kind::terminal;
    Date since{};
  };
  using Changed = std::function<void(std::size_t count)>;

  // Set once, before any attach.
  void onChange(Changed callback);

  // Attaches a surface; the id detaches it.
  std::uint64_t attach(Kind kind);
  // Detaches a surface; nothing for an id already detached.
  void detach(std::uint64_t id);

  std::size_t count() const;
  // How many of them are of `kind`.
  std::size_t count(Kind kind) const;
  std::vector<Entry> list() const;
  // The list as the API writes it: [{"kind": "terminal", "since": "..."}], oldest first.
  Json encoded() const;

  static std::string_view name(Kind kind);
  // "terminal", "web", "notifications" or "phone"; absent for any other word.
  static std::optional<Kind> kindNamed(std::string_view word);

 private:
  mutable std::mutex mutex;
  std::map<std::uint64_t, Entry> entries;
  std::uint64_t lastId = 0;
  Changed changed;
};

}  // namespace tarvel::Display
