// Bundle: the resources that ship with the program, above all the seed library (the
// database "data.sqlite" and the folder "sound") copied into the user's data folder on
// the first start. Installed, they sit in <prefix>/share/cueboard beside the binary's
// <prefix>/bin; run from the build tree, in the build's share/cueboard.
//
// The main bundle lives until the process ends.
// Thread-safety: all operations may be called from any thread.
#pragma once

#include <optional>
#include <string>

class Bundle {
 public:
  static Bundle& mainBundle();

  // <dir of /proc/self/exe>/../share/cueboard when that folder exists (installed), else
  // the build tree's resource folder. No trailing '/'.
  std::string resourcePath() const;
  // resourcePath()/name.type (name alone when type is empty) if something exists there.
  std::optional<std::string> pathForResourceOfType(const std::string& name, const std::string& type) const;

  // Points the main bundle at another folder; none restores the default.
  static void setResourcePathForTesting(std::optional<std::string> path);

 private:
  Bundle() = default;
};
