// Helpers for the parameter file tests: a temporary folder for the files a
// test writes, and a run of the reader with its console output captured.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/paramrec.h"
#include "common/runctx.h"
#include "params/paramfile.h"

namespace paramtest {

// A fresh folder under the system's temporary folder, removed with its files.
class tmpdir {
 public:
  tmpdir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kevra-params-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path = tmpl;
  }
  ~tmpdir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  tmpdir(const tmpdir&) = delete;
  tmpdir& operator=(const tmpdir&) = delete;

  // write(name, bytes): the file's path after writing bytes into it.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::string p = path + "/" + name;
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    return p;
  }

  std::string path;
};

// The outcome of one readparamfile call.
struct result {
  std::unique_ptr<paramrec> prm;
  std::string out;   // everything it printed
};

// readpath(path, dbglevel): run the reader on path (none when null).
inline result readpath(const char* path, uint32_t dbglevel = 0) {
  result r{std::make_unique<paramrec>(), {}};
  // Stale contents must not survive the defaults.
  memset(r.prm.get(), 0x5A, sizeof(paramrec));
  runctx ctx{};
  ctx.dbglevel = dbglevel;
  ctx.paramrec = r.prm.get();
  fflush(stdout);
  testing::internal::CaptureStdout();
  readparamfile(path, &ctx);
  fflush(stdout);
  r.out = testing::internal::GetCapturedStdout();
  return r;
}

// readtext(text, dbglevel): write text to a parameter file and read it.
inline result readtext(const std::string& text, uint32_t dbglevel = 0) {
  tmpdir dir;
  std::string p = dir.write("kevra.par", text);
  return readpath(p.c_str(), dbglevel);
}

// uname(e): the entry's name, its first ulen bytes.
inline std::string uname(const userent& e) { return std::string((const char*)e.uname, e.ulen); }
// secret(e): the entry's secret, its first pwlen bytes.
inline std::string secret(const userent& e) { return std::string((const char*)e.secret, e.pwlen); }

}  // namespace paramtest
