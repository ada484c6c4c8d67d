// Helpers shared by the benchmark programs.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace gxbench {

// A scratch directory for one benchmark program (named after it and the
// process), removed with everything in it when it goes. Declare it before
// the stores that keep files in it, so that they close first.
class ScratchDir {
 public:
  explicit ScratchDir(char const* tag)
      : dir_(std::filesystem::temp_directory_path() /
             (std::string("gxcore-bench-") + tag + "-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ScratchDir(ScratchDir const&) = delete;
  ScratchDir& operator=(ScratchDir const&) = delete;

  std::string file(char const* name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

}  // namespace gxbench
