// Helpers shared by the tests: a message capture and temporary directories.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "outside/hxsvc.h"

namespace gxtest {

// Captures every logged message while it lives (and keeps them off stderr).
class MessageCapture {
 public:
  MessageCapture() {
    previous_ = hx_svc_set_sink([this](hx_svc_record const& r) {
      if (r.isTrace) return;
      std::lock_guard<std::mutex> g(m_);
      records_.push_back(r);
    });
  }
  ~MessageCapture() { hx_svc_set_sink(previous_); }
  MessageCapture(MessageCapture const&) = delete;
  MessageCapture& operator=(MessageCapture const&) = delete;

  size_t count(unsigned long id) const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (auto const& r : records_) n += r.id == id;
    return n;
  }
  // The inserts of the last message with this id (empty when none).
  std::vector<std::string> inserts(unsigned long id) const {
    std::lock_guard<std::mutex> g(m_);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it)
      if (it->id == id) return it->inserts;
    return {};
  }
  std::vector<hx_svc_record> all() const {
    std::lock_guard<std::mutex> g(m_);
    return records_;
  }

 private:
  mutable std::mutex m_;
  std::vector<hx_svc_record> records_;
  hx_svc_sink previous_;
};

// A fresh directory removed with everything in it at scope end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "gxcore-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (!made) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;
  std::string file(char const* name) const { return (path_ / name).string(); }
  std::filesystem::path const& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace gxtest
