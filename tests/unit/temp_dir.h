// A fresh directory under /tmp for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class temp_dir {
 public:
  temp_dir() {
    std::string templ = (std::filesystem::temp_directory_path() / "orvan-unit-").string() + "XXXXXX";
    if (mkdtemp(templ.data())) path_ = templ;
  }
  ~temp_dir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;

  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Writes `text` to the named file and returns its path.
  std::string write(const std::string &name, const std::string &text) const {
    std::string p = file(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  static std::string read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  std::string path_;
};
