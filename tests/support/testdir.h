// The temporary folder of a test process, for unit and end-to-end tests
// alike (and for the Windows build's): made on first use under the system's
// temporary folder, removed with its files when the process ends. CTest runs
// every test in a process of its own, so every test has a folder of its own.
#pragma once
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace harness {

inline const std::string& testdir() {
  static struct folder {
    std::string path;
    folder() {
      std::random_device rd;
      do
        path = (std::filesystem::temp_directory_path() / ("kevra-test-" + std::to_string(rd())))
                   .string();
      while (!std::filesystem::create_directory(path));
    }
    ~folder() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } dir;
  return dir.path;
}

// file(name, text): writes testdir()/name and returns its path; slurp(path): a file's bytes.
inline std::string file(const std::string& name, const std::string& text) {
  std::string path = testdir() + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}
inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}   // namespace harness
