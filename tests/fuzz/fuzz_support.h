// Shared pieces of the fuzz targets: reading a structured input byte by byte, and a check that
// stops the run with a message the fuzzer keeps next to the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ecub::fuzz {

// Reads an input from the front; past its end every read gives zeros, so any input is a
// complete description of a run.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t left() const { return empty() ? 0 : size_ - pos_; }
  uint8_t Byte() { return empty() ? 0 : data_[pos_++]; }
  // Up to `count` bytes, fewer at the end of the input.
  std::string Bytes(size_t count) {
    const size_t n = count < left() ? count : left();
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string Rest() { return Bytes(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] inline void Fail(const char* file, int line, const char* what,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, what, detail.c_str());
  std::abort();
}

}  // namespace ecub::fuzz

// Stops the run when `cond` does not hold; `detail` (a std::string) says what was seen.
#define FUZZ_CHECK(cond, detail)                                        \
  do {                                                                  \
    if (!(cond)) ::ecub::fuzz::Fail(__FILE__, __LINE__, #cond, detail); \
  } while (false)
