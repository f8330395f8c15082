#include "TarvelCore/Platform/JSONValue.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tarvel {
namespace {

// Each of the walks below keeps its own stack of work instead of recursing: a value may be
// nested far deeper than the thread's stack allows (a program can build one by hand).

std::size_t hashDouble(double number) {
  // Equal numbers must hash alike: 0.0 and -0.0 are equal.
  if (number == 0) {
    number = 0;
  }
  std::uint64_t bits = 0;
  std::memcpy(&bits, &number, sizeof bits);
  return std::hash<std::uint64_t>{}(bits);
}

Json scalarToJSON(const JSONValue& value) {
  switch (value.kind()) {
    case JSONValue::Kind::string:
      return Json(*value.stringValue());
    case JSONValue::Kind::number: {
      const double number = *value.numberValue();
      if (!std::isfinite(number)) {
        return Json(nullptr);
      }
      constexpr double exactLimit = 9007199254740992.0;  // 2^53
      if (std::trunc(number) == number && std::fabs(number) <= exactLimit) {
        return Json(static_cast<std::int64_t>(number));
      }
      return Json(number);
    }
    case JSONValue::Kind::boolean:
      return Json(*value.boolValue());
    case JSONValue::Kind::object:
      return Json::object();
    case JSONValue::Kind::array:
      return Json::array();
    case JSONValue::Kind::null:
      break;
  }
  return Json(nullptr);
}

// Converts one level: scalars completely, containers as empty containers of the right kind.
// `JsonRef` is `const Json&` or `Json&` (when strings may be moved out).
template <class JsonRef>
Result<JSONValue, DecodingError> shallowFromJSON(JsonRef value) {
  switch (value.type()) {
    case Json::value_t::null:
      return JSONValue::null();
    case Json::value_t::boolean:
      return JSONValue::boolean(value.template get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return JSONValue::number(value.template get<double>());
    case Json::value_t::string:
      if constexpr (std::is_const_v<std::remove_reference_t<JsonRef>>) {
        return JSONValue::string(value.template get_ref<const std::string&>());
      } else {
        return JSONValue::string(std::move(value.template get_ref<std::string&>()));
      }
    case Json::value_t::object:
      return JSONValue::object(JSONValue::Object{});
    case Json::value_t::array:
      return JSONValue::array(JSONValue::Array{});
    default:
      break;
  }
  return DecodingError{DecodingError::Kind::dataCorrupted, "", "Unsupported JSON value"};
}

template <class JsonRef>
Result<JSONValue, DecodingError> convert(JsonRef root) {
  using JsonPointer = std::remove_reference_t<JsonRef>*;
  auto top = shallowFromJSON<JsonRef>(root);
  if (!top) {
    return top;
  }
  JSONValue result = std::move(top).value();
  struct Work {
    JsonPointer source;
    JSONValue* target;
  };
  std::vector<Work> pending;
  if (root.is_object() || root.is_array()) {
    pending.push_back({&root, &result});
  }
  // Children are attached to a container before their own children are filled in; map nodes
  // and the elements of a vector reserved up front never move, so the pointers stay valid.
  while (!pending.empty()) {
    const Work work = pending.back();
    pending.pop_back();
    if (work.source->is_object()) {
      auto& members = *work.target->objectValue();
      for (auto it = work.source->begin(); it != work.source->end(); ++it) {
        auto child = shallowFromJSON<JsonRef>(*it);
        if (!child) {
          return child;
        }
        auto [slot, inserted] = members.insert_or_assign(it.key(), std::move(child).value());
        (void)inserted;
        if (it->is_object() || it->is_array()) {
          pending.push_back({&*it, &slot->second});
        }
      }
    } else {
      auto& elements = *work.target->arrayValue();
      elements.reserve(work.source->size());
      for (auto it = work.source->begin(); it != work.source->end(); ++it) {
        auto child = shallowFromJSON<JsonRef>(*it);
        if (!child) {
          return child;
        }
        elements.push_back(std::move(child).value());
        if (it->is_object() || it->is_array()) {
          pending.push_back({&*it, &elements.back()});
        }
      }
    }
  }
  return result;
}

}  // namespace

JSONValue::JSONValue(const JSONValue& other) {
  if (!other.hasNestedContainers()) {
    storage = other.storage;
    return;
  }
  struct Work {
    const JSONValue* source;
    JSONValue* target;
  };
  std::vector<Work> pending{{&other, this}};
  while (!pending.empty()) {
    const Work work = pending.back();
    pending.pop_back();
    if (const Object* members = work.source->objectValue()) {
      Object copy;
      for (const auto& [key, child] : *members) {
        copy.emplace_hint(copy.end(), key, JSONValue());
      }
      work.target->storage = std::move(copy);
      auto& targetMembers = std::get<Object>(work.target->storage);
      auto slot = targetMembers.begin();
      for (const auto& [key, child] : *members) {
        if (child.kind() == Kind::object || child.kind() == Kind::array) {
          pending.push_back({&child, &slot->second});
        } else {
          slot->second.storage = child.storage;
        }
        ++slot;
      }
    } else if (const Array* elements = work.source->arrayValue()) {
      work.target->storage = Array(elements->size());
      auto& targetElements = std::get<Array>(work.target->storage);
      for (std::size_t i = 0; i < elements->size(); ++i) {
        const JSONValue& child = (*elements)[i];
        if (child.kind() == Kind::object || child.kind() == Kind::array) {
          pending.push_back({&child, &targetElements[i]});
        } else {
          targetElements[i].storage = child.storage;
        }
      }
    } else {
      work.target->storage = work.source->storage;
    }
  }
}

JSONValue& JSONValue::operator=(const JSONValue& other) {
  if (this != &other) {
    JSONValue copy(other);
    *this = std::move(copy);
  }
  return *this;
}

JSONValue& JSONValue::operator=(JSONValue&& other) noexcept {
  if (this != &other) {
    // The old value is destroyed through the iterative destructor, after the move.
    JSONValue old(std::move(*this));
    storage = std::move(other.storage);
  }
  return *this;
}

JSONValue::~JSONValue() {
  if (!hasNestedContainers()) {
    return;
  }
  std::vector<JSONValue> pending;
  releaseChildren(pending);
  while (!pending.empty()) {
    JSONValue item = std::move(pending.back());
    pending.pop_back();
    item.releaseChildren(pending);
    // `item` now holds at most empty containers, so its destruction does not descend.
  }
}

bool JSONValue::hasNestedContainers() const {
  const auto nonEmptyContainer = [](const JSONValue& child) {
    if (const Object* members = child.objectValue()) {
      return !members->empty();
    }
    if (const Array* elements = child.arrayValue()) {
      return !elements->empty();
    }
    return false;
  };
  if (const Object* members = objectValue()) {
    for (const auto& [key, child] : *members) {
      if (nonEmptyContainer(child)) {
        return true;
      }
    }
  } else if (const Array* elements = arrayValue()) {
    for (const JSONValue& child : *elements) {
      if (nonEmptyContainer(child)) {
        return true;
      }
    }
  }
  return false;
}

void JSONValue::releaseChildren(std::vector<JSONValue>& pending) {
  if (Object* members = std::get_if<Object>(&storage)) {
    for (auto& [key, child] : *members) {
      if (child.kind() == Kind::object || child.kind() == Kind::array) {
        pending.push_back(std::move(child));
        child.storage = nullptr;
      }
    }
  } else if (Array* elements = std::get_if<Array>(&storage)) {
    for (JSONValue& child : *elements) {
      if (child.kind() == Kind::object || child.kind() == Kind::array) {
        pending.push_back(std::move(child));
        child.storage = nullptr;
      }
    }
  }
}

JSONValue JSONValue::string(std::string text) {
  return JSONValue(std::in_place_index<0>, std::move(text));
}
JSONValue JSONValue::number(double value) { return JSONValue(std::in_place_index<1>, value); }
JSONValue JSONValue::boolean(bool flag) { return JSONValue(std::in_place_index<2>, flag); }
JSONValue JSONValue::object(Object members) {
  return JSONValue(std::in_place_index<3>, std::move(members));
}
JSONValue JSONValue::object(
    std::initializer_list<std::pair<const std::string, JSONValue>> members) {
  return object(Object(members));
}
JSONValue JSONValue::array(Array elements) {
  return JSONValue(std::in_place_index<4>, std::move(elements));
}
JSONValue JSONValue::null() { return JSONValue(); }

std::optional<bool> JSONValue::boolValue() const {
  if (const bool* flag = std::get_if<bool>(&storage)) {
    return *flag;
  }
  return std::nullopt;
}

std::optional<double> JSONValue::numberValue() const {
  if (const double* number = std::get_if<double>(&storage)) {
    return *number;
  }
  return std::nullopt;
}

const JSONValue* JSONValue::operator[](std::string_view key) const {
  const Object* members = objectValue();
  if (members == nullptr) {
    return nullptr;
  }
  const auto it = members->find(key);
  return it == members->end() ? nullptr : &it->second;
}

Result<JSONValue, DecodingError> JSONValue::fromJSON(const Json& value) {
  return convert<const Json&>(value);
}

Result<JSONValue, DecodingError> JSONValue::fromJSON(Json&& value) { return convert<Json&>(value); }

Json JSONValue::toJSON() const {
  Json result = scalarToJSON(*this);
  struct Work {
    const JSONValue* source;
    Json* target;
  };
  std::vector<Work> pending;
  if (kind() == Kind::object || kind() == Kind::array) {
    pending.push_back({this, &result});
  }
  // nlohmann's objects are maps (stable nodes); arrays are sized before any element is filled.
  while (!pending.empty()) {
    const Work work = pending.back();
    pending.pop_back();
    if (const Object* members = work.source->objectValue()) {
      for (const auto& [key, child] : *members) {
        Json& slot = (*work.target)[key];
        slot = scalarToJSON(child);
        if (child.kind() == Kind::object || child.kind() == Kind::array) {
          pending.push_back({&child, &slot});
        }
      }
    } else if (const Array* elements = work.source->arrayValue()) {
      Json& array = *work.target;
      array.get_ref<Json::array_t&>().resize(elements->size());
      for (std::size_t i = 0; i < elements->size(); ++i) {
        const JSONValue& child = (*elements)[i];
        array[i] = scalarToJSON(child);
        if (child.kind() == Kind::object || child.kind() == Kind::array) {
          pending.push_back({&child, &array[i]});
        }
      }
    }
  }
  return result;
}

bool JSONValue::operator==(const JSONValue& other) const {
  std::vector<std::pair<const JSONValue*, const JSONValue*>> pending{{this, &other}};
  while (!pending.empty()) {
    const auto [left, right] = pending.back();
    pending.pop_back();
    if (left->storage.index() != right->storage.index()) {
      return false;
    }
    if (const Object* leftMembers = left->objectValue()) {
      const Object& rightMembers = *right->objectValue();
      if (leftMembers->size() != rightMembers.size()) {
        return false;
      }
      auto r = rightMembers.begin();
      for (auto l = leftMembers->begin(); l != leftMembers->end(); ++l, ++r) {
        if (l->first != r->first) {
          return false;
        }
        pending.emplace_back(&l->second, &r->second);
      }
    } else if (const Array* leftElements = left->arrayValue()) {
      const Array& rightElements = *right->arrayValue();
      if (leftElements->size() != rightElements.size()) {
        return false;
      }
      for (std::size_t i = 0; i < leftElements->size(); ++i) {
        pending.emplace_back(&(*leftElements)[i], &rightElements[i]);
      }
    } else if (left->storage != right->storage) {
      return false;
    }
  }
  return true;
}

std::size_t JSONValue::hashValue() const {
  std::size_t seed = 0;
  std::vector<const JSONValue*> pending{this};
  while (!pending.empty()) {
    const JSONValue* value = pending.back();
    pending.pop_back();
    hashCombine(seed, value->storage.index());
    switch (value->kind()) {
      case Kind::string:
        hashCombine(seed, std::hash<std::string>{}(*value->stringValue()));
        break;
      case Kind::number:
        hashCombine(seed, hashDouble(*value->numberValue()));
        break;
      case Kind::boolean:
        hashCombine(seed, *value->boolValue() ? 1 : 0);
        break;
      case Kind::object: {
        const Object& members = *value->objectValue();
        hashCombine(seed, members.size());
        // Reverse order on the stack so that members are hashed in key order.
        for (auto it = members.rbegin(); it != members.rend(); ++it) {
          pending.push_back(&it->second);
        }
        for (const auto& [key, child] : members) {
          hashCombine(seed, std::hash<std::string>{}(key));
        }
        break;
      }
      case Kind::array: {
        const Array& elements = *value->arrayValue();
        hashCombine(seed, elements.size());
        for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
          pending.push_back(&*it);
        }
        break;
      }
      case Kind::null:
        break;
    }
  }
  return seed;
}

JSONValue Codable<JSONValue>::decode(const Json& value, const std::string& path) {
  auto converted = JSONValue::fromJSON(value);
  if (!converted) {
    throw DecodingError{DecodingError::Kind::dataCorrupted, path, "Unsupported JSON value"};
  }
  return std::move(converted).value();
}

}  // namespace tarvel
