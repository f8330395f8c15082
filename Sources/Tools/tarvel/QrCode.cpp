#include "Tools/tarvel/QrCode.hpp"

#include <png.h>
#include <qrencode.h>

#include <memory>
#include <vector>

#include "TarvelCore/Platform/FileReplace.hpp"

namespace tarvel::QrCode {
namespace {

constexpr int quietZone = 4;     // modules of light around the code, as readers need
constexpr int pixelsPerModule = 8;

// The code's modules with the quiet zone around them; true is dark.
class Modules {
 public:
  static std::optional<Modules> encode(std::string_view text) {
    const std::string terminated(text);
    // Level M: a code that still reads with a fifth of it smudged, and an address of a few
    // hundred bytes stays small enough for a terminal.
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString8bit(terminated.c_str(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code) {
      return std::nullopt;
    }
    Modules modules;
    modules.side = code->width + 2 * quietZone;
    modules.dark.assign(static_cast<std::size_t>(modules.side * modules.side), false);
    for (int row = 0; row < code->width; ++row) {
      for (int column = 0; column < code->width; ++column) {
        // The lowest bit of each byte says whether the module is dark.
        const bool isDark = (code->data[row * code->width + column] & 1) != 0;
        modules.dark[static_cast<std::size_t>((row + quietZone) * modules.side + column +
                                              quietZone)] = isDark;
      }
    }
    return modules;
  }

  int size() const { return side; }
  // Outside the code reads as light, so a last odd row pairs with light.
  bool isDark(int row, int column) const {
    return row < side && column < side &&
           dark[static_cast<std::size_t>(row * side + column)];
  }

 private:
  int side = 0;
  std::vector<bool> dark;
};

}  // namespace

std::optional<std::string> terminalText(std::string_view text) {
  const auto modules = Modules::encode(text);
  if (!modules) {
    return std::nullopt;
  }
  // Black half blocks on a white background: the upper half block draws the top module of a
  // pair, the lower half block the bottom one.
  constexpr std::string_view blackOnWhite = "\x1b[30;107m";
  constexpr std::string_view plain = "\x1b[0m";
  std::string lines;
  for (int row = 0; row < modules->size(); row += 2) {
    lines += blackOnWhite;
    for (int column = 0; column < modules->size(); ++column) {
      const bool top = modules->isDark(row, column);
      const bool bottom = modules->isDark(row + 1, column);
      lines += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
    }
    lines += plain;
    lines += '\n';
  }
  return lines;
}

std::optional<std::string> writePng(std::string_view text, const std::filesystem::path& file) {
  const auto modules = Modules::encode(text);
  if (!modules) {
    return "the address is too long for a QR code";
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.format = PNG_FORMAT_GRAY;
  image.width = static_cast<png_uint_32>(modules->size() * pixelsPerModule);
  image.height = image.width;
  std::vector<png_byte> pixels(static_cast<std::size_t>(image.width) * image.height);
  for (png_uint_32 y = 0; y < image.height; ++y) {
    for (png_uint_32 x = 0; x < image.width; ++x) {
      const bool dark = modules->isDark(static_cast<int>(y) / pixelsPerModule,
                                        static_cast<int>(x) / pixelsPerModule);
      pixels[static_cast<std::size_t>(y) * image.width + x] = dark ? 0 : 255;
    }
  }
  png_alloc_size_t size = 0;
  if (png_image_write_get_memory_size(image, size, 0, pixels.data(), 0, nullptr) == 0) {
    return std::string("cannot make the image: ") + image.message;
  }
  std::string bytes(size, '\0');
  if (png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels.data(), 0, nullptr) == 0) {
    return std::string("cannot make the image: ") + image.message;
  }
  bytes.resize(size);
  if (const auto problem = FileReplace::replace(file, bytes)) {
    return problem->description();
  }
  return std::nullopt;
}

}  // namespace tarvel::QrCode
