// Test helpers: a private directory per test, and the substitute machine's
// root pointed at one for the whole test binary.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace mvntest {

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it
// when the object dies.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mvntest-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::string str() const { return m_path.string(); }
  std::string operator/(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// Points MVN_ROOT at a private directory for as long as the object lives.
class TestRoot {
 public:
  TestRoot() { setenv("MVN_ROOT", m_dir.str().c_str(), 1); }
  ~TestRoot() { unsetenv("MVN_ROOT"); }
  std::string str() const { return m_dir.str(); }
  std::string operator/(const std::string& name) const { return m_dir / name; }

 private:
  TempDir m_dir;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

}  // namespace mvntest
