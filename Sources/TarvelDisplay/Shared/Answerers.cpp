#include "TarvelDisplay/Shared/Answerers.hpp"

#include <algorithm>

namespace tarvel::Display {

void Answerers::onChange(Changed callback) {
  const std::scoped_lock guard(mutex);
  changed = std::move(callback);
}

std::uint64_t Answerers::attach(Kind kind) {
  std::uint64_t id = 0;
  std::size_t now = 0;
  Changed callback;
  {
    const std::scoped_lock guard(mutex);
    id = ++lastId;
    entries.emplace(id, Entry{.id = id, .kind = kind, .since = Dates::now()});
    now = entries.size();
    callback = changed;
  }
  if (callback) {
    callback(now);
  }
  return id;
}

void Answerers::detach(std::uint64_t id) {
  std::size_t now = 0;
  Changed callback;
  {
    const std::scoped_lock guard(mutex);
    if (entries.erase(id) == 0) {
      return;
    }
    now = entries.size();
    callback = changed;
  }
  if (callback) {
    callback(now);
  }
}

std::size_t Answerers::count() const {
  const std::scoped_lock guard(mutex);
  return entries.size();
}

std::size_t Answerers::count(Kind kind) const {
  const std::scoped_lock guard(mutex);
  return static_cast<std::size_t>(std::count_if(
      entries.begin(), entries.end(), [&](const auto& entry) { return entry.second.kind == kind; }));
}

std::vector<Answerers::Entry> Answerers::list() const {
  const std::scoped_lock guard(mutex);
  std::vector<Entry> all;
  all.reserve(entries.size());
  for (const auto& [id, entry] : entries) {
    all.push_back(entry);
  }
  return all;
}

Json Answerers::encoded() const {
  Json all = Json::array();
  for (const Entry& entry : list()) {
    all.push_back(Json{{"kind", name(entry.kind)}, {"since", Dates::iso8601(entry.since)}});
  }
  return all;
}

std::string_view Answerers::name(Kind kind) {
  switch (kind) {
    case Kind::terminal:
      return "terminal";
    case Kind::web:
      return "web";
    case Kind::notifications:
      return "notifications";
    case Kind::phone:
      return "phone";
  }
  return "terminal";
}

std::optional<Answerers::Kind> Answerers::kindNamed(std::string_view word) {
  for (const Kind kind : {Kind::terminal, Kind::web, Kind::notifications, Kind::phone}) {
    if (word == name(kind)) {
      return kind;
    }
  }
  return std::nullopt;
}

}  // namespace tarvel::Display
