#include "TarvelCore/Platform/Random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace tarvel::Random {

std::optional<std::string> hexadecimal(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  constexpr std::string_view digits = "0123456789abcdef";
  std::string text;
  text.reserve(2 * count);
  for (const unsigned char byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0xf];
  }
  return text;
}

}  // namespace tarvel::Random
