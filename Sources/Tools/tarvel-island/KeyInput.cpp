#include "Tools/tarvel-island/KeyInput.hpp"

#include <cstddef>
#include <cstdint>

namespace tarvel::Island {
namespace {

// Length of the UTF-8 sequence a lead byte starts; 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return 4;
  }
  return 0;
}

}  // namespace

std::vector<Key> KeyDecoder::feed(std::string_view bytes) {
  pending.append(bytes);
  std::vector<Key> keys;
  std::size_t position = 0;
  const std::size_t size = pending.size();
  while (position < size) {
    const auto byte = static_cast<unsigned char>(pending[position]);
    if (byte == 0x1B) {
      if (position + 1 >= size) {
        keys.push_back({.kind = Key::Kind::escape});
        ++position;
        continue;
      }
      const char introducer = pending[position + 1];
      if (introducer != '[' && introducer != 'O') {
        keys.push_back({.kind = Key::Kind::escape});  // Alt+key: the escape, then the key
        ++position;
        continue;
      }
      // CSI/SS3: parameters and intermediates up to a final byte in 0x40..0x7E.
      std::size_t end = position + 2;
      while (end < size && (static_cast<unsigned char>(pending[end]) < 0x40 ||
                            static_cast<unsigned char>(pending[end]) > 0x7E)) {
        ++end;
      }
      if (end >= size) {
        break;  // the rest of the sequence comes with the next read
      }
      switch (pending[end]) {
        case 'A': keys.push_back({.kind = Key::Kind::up}); break;
        case 'B': keys.push_back({.kind = Key::Kind::down}); break;
        case 'C': keys.push_back({.kind = Key::Kind::right}); break;
        case 'D': keys.push_back({.kind = Key::Kind::left}); break;
        case '~': {
          // "ESC [ 5 ~" and "ESC [ 6 ~": page up and down.
          const std::string_view parameters(pending.data() + position + 2, end - position - 2);
          if (parameters == "5") {
            keys.push_back({.kind = Key::Kind::pageUp});
          } else if (parameters == "6") {
            keys.push_back({.kind = Key::Kind::pageDown});
          }
          break;
        }
        default: break;
      }
      position = end + 1;
      continue;
    }
    if (byte == '\r' || byte == '\n') {
      keys.push_back({.kind = Key::Kind::enter});
      ++position;
      continue;
    }
    if (byte == 0x03) {
      keys.push_back({.kind = Key::Kind::interrupt});
      ++position;
      continue;
    }
    if (byte == '\t') {
      keys.push_back({.kind = Key::Kind::tab});
      ++position;
      continue;
    }
    if (byte == 0x7F || byte == 0x08) {
      keys.push_back({.kind = Key::Kind::backspace});
      ++position;
      continue;
    }
    if (byte < 0x20) {
      ++position;  // other control keys mean nothing here
      continue;
    }
    const std::size_t length = sequenceLength(byte);
    if (length == 0) {
      ++position;
      continue;
    }
    if (position + length > size) {
      break;
    }
    char32_t codePoint = length == 1 ? byte : (byte & (0x7F >> length));
    bool valid = true;
    for (std::size_t index = 1; index < length; ++index) {
      const auto continuation = static_cast<unsigned char>(pending[position + index]);
      if ((continuation & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      codePoint = (codePoint << 6) | (continuation & 0x3F);
    }
    if (!valid) {
      ++position;
      continue;
    }
    keys.push_back({.kind = Key::Kind::character, .character = codePoint});
    position += length;
  }
  pending.erase(0, position);
  return keys;
}

}  // namespace tarvel::Island
