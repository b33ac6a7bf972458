#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/sandbox.hpp"

// Standard streams of the test process itself, redirected for one scope, so
// that terminal forms of in-process code can be fed and read.
namespace korvo::testing {

// Puts a pipe holding `text` on descriptor 0 for the terminal questions.
class StdinFeed {
 public:
  explicit StdinFeed(const std::string& text) : saved_(::dup(0)) {
    int ends[2];
    if (::pipe(ends) != 0) std::abort();
    if (::write(ends[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
    ::close(ends[1]);
    ::dup2(ends[0], 0);
    ::close(ends[0]);
    std::clearerr(stdin);
  }
  ~StdinFeed() {
    // Drops what stdio buffered from the pipe so no answer leaks into later tests.
    while (std::fgetc(stdin) != EOF) {
    }
    std::clearerr(stdin);
    ::dup2(saved_, 0);
    ::close(saved_);
  }
  StdinFeed(const StdinFeed&) = delete;
  StdinFeed& operator=(const StdinFeed&) = delete;

 private:
  int saved_;
};

// Sends descriptor 1 into a file while alive.
class StdoutCapture {
 public:
  explicit StdoutCapture(std::string path) : path_(std::move(path)) {
    std::fflush(stdout);
    saved_ = ::dup(1);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::close(fd);
  }
  ~StdoutCapture() { restore(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text() {
    restore();
    return read_test_file(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

}  // namespace korvo::testing
