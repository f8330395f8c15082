#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Result.hpp"

// Writes a file in one step that survives a crash or a power cut: the bytes go to a temporary
// file in the same folder (made exclusively, close-on-exec, under an unpredictable name), written
// whole, given its mode and synced; it is then renamed over the file (or linked to a name that is
// still free), and the folder is synced so that the new name is on the disk too. A reader sees the
// old file or the new one, never a part of either. On every failure the temporary file is removed
// and the file is as it was. Nothing here throws; no folder is created.
namespace tarvel::FileReplace {

// What to do when the file's name is a symbolic link.
enum class Links {
  refuse,  // fail with Error::Kind::symbolicLink and leave the link and what it leads to alone
  follow,  // replace the file the link leads to and keep the link (a dotfile kept elsewhere);
           // a link that leads nowhere fails with Error::Kind::danglingLink
};

struct Options {
  // The new file's permissions, applied as given (the umask plays no part).
  mode_t mode = 0600;
  // When the file exists, it keeps its own permissions instead of taking `mode`.
  bool keepMode = false;
  Links links = Links::refuse;
};

// Why a file could not be written, and which.
struct Error {
  enum class Kind {
    symbolicLink,    // the name is a link, and links are refused
    danglingLink,    // the name is a link to nothing (`leadsTo` says where)
    notRegularFile,  // a folder, FIFO, device or socket has the name
    exists,          // create() or setAside(): every name it may use is taken
    temporaryFile,   // no temporary file could be made beside it (the folder is not writable)
    write,           // writing, setting the mode of or syncing the temporary file failed
    place,           // the finished file could not be put in place under its name
  };
  Kind kind = Kind::write;
  int code = 0;  // errno, or 0 when the kind says it all
  std::filesystem::path path;
  std::filesystem::path leadsTo;  // danglingLink: the link's own text

  // A sentence for the user naming the path and what failed, without a final full stop:
  // "cannot write /home/a/.x: No space left on device".
  std::string description() const;
};

// Replaces `file` whole with `bytes`, or makes it when it does not exist.
[[nodiscard]] std::optional<Error> replace(const std::filesystem::path& file,
                                           std::string_view bytes, const Options& options = {});

// Makes `file` with `bytes` and `mode` only when the name is free; never replaces anything, so of
// two writers racing for one name the first keeps it and the other fails with Kind::exists.
[[nodiscard]] std::optional<Error> create(const std::filesystem::path& file, std::string_view bytes,
                                          mode_t mode);

// Moves `file` (whatever it is) to the first free name of "<file><suffix>", "<file><suffix>-1",
// ... "<file><suffix>-99" beside it, never replacing another file; the name it now has.
Result<std::filesystem::path, Error> setAside(const std::filesystem::path& file,
                                              std::string_view suffix);

// The file replace() writes for `file`: `file` itself, or, when it is a symbolic link and links
// are followed, the file the link leads to (every link on the way resolved).
Result<std::filesystem::path, Error> target(const std::filesystem::path& file, Links links);

// How the names of the temporary files made for `file` begin ("<name>.tmp-"), so that a program
// that alone writes a file may remove those a killed predecessor left.
std::string temporaryPrefix(const std::filesystem::path& file);

}  // namespace tarvel::FileReplace
