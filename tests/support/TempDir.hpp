#pragma once

#include <filesystem>
#include <string>

namespace noctave::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The file's whole content; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

}  // namespace noctave::test
