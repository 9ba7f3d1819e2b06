#pragma once

#include <string>

namespace brindlet::testsupport {

// A temporary folder removed with everything in it when the value goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

// A file's bytes, or nothing when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace brindlet::testsupport
