#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvel::Island {

// One key press read from the terminal.
struct Key {
  enum class Kind {
    character, up, down, left, right, pageUp, pageDown, enter, escape, backspace, tab, interrupt
  };
  Kind kind = Kind::character;
  char32_t character = 0;  // for `character`: the code point typed
  bool operator==(const Key&) const = default;
};

// Splits raw terminal input into keys. Escape sequences for the arrow keys (CSI and SS3 forms)
// and for page up and down become those keys; other sequences are swallowed whole; an escape
// byte with nothing after it in the same read is the Escape key. Bytes of a character cut by the
// end of a read wait for the next read; malformed UTF-8 bytes are dropped.
// Thread: a plain value; one owner.
class KeyDecoder {
 public:
  std::vector<Key> feed(std::string_view bytes);

 private:
  std::string pending;
};

}  // namespace tarvel::Island
