#include "TarvelCore/Platform/UUID.hpp"

#include <cstring>

#include <uuid/uuid.h>

namespace tarvel {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UUID UUID::random() {
  uuid_t raw;
  uuid_generate_random(raw);
  UUID uuid;
  std::memcpy(uuid.bytes.data(), raw, uuid.bytes.size());
  return uuid;
}

std::optional<UUID> UUID::parse(std::string_view text) {
  if (text.size() != 36) {
    return std::nullopt;
  }
  UUID uuid;
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') {
        return std::nullopt;
      }
      ++i;
      continue;
    }
    const int high = hexValue(text[i]);
    const int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    uuid.bytes[byte++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  return uuid;
}

std::string UUID::uuidString() const {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      text.push_back('-');
    }
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace tarvel

std::size_t std::hash<tarvel::UUID>::operator()(const tarvel::UUID& uuid) const noexcept {
  std::uint64_t a = 0, b = 0;
  std::memcpy(&a, uuid.bytes.data(), 8);
  std::memcpy(&b, uuid.bytes.data() + 8, 8);
  return static_cast<std::size_t>(a ^ (b * 0x9E3779B97F4A7C15ULL));
}
