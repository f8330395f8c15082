#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Folders of a test's own. They lie under /tmp, never under the clone (which may sit anywhere,
// under a folder other users cannot enter, with a path too long for a socket).
namespace tarvel::Testing {

// A fresh, empty folder (mkdtemp, 0700), removed with everything in it when this goes, whatever
// modes the test left on what it made.
// Thread: confined to the creating thread.
class TemporaryFolder {
 public:
  // `label` names the folder ("/tmp/tarvel-<label>-XXXXXX"), so that a leftover says whose it is.
  explicit TemporaryFolder(std::string_view label = "test");
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder();

  // Lets other users enter the folder (0711, so they may use what they are told the name of) and
  // says whether they can reach it: every folder above it must let them pass too.
  [[nodiscard]] bool openToOthers() const;

  std::filesystem::path path;
};

// A temporary folder that is also HOME while it lives; HOME is as it was before afterwards.
// Thread: HOME is the whole process's; make and destroy it where no other thread reads it.
class TemporaryHome : public TemporaryFolder {
 public:
  explicit TemporaryHome(std::string_view label = "home");
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;
  ~TemporaryHome();

 private:
  std::optional<std::string> previousHome;
};

}  // namespace tarvel::Testing
