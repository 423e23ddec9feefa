// TextBuffer: an owned byte string whose storage is not zero-filled first, so a
// file can be read into it with one allocation and no extra pass.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace marblewick {

class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  TextBuffer(TextBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  TextBuffer& operator=(TextBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~TextBuffer() { std::free(data_); }

  // Grows the storage to at least `capacity` bytes; false when memory is exhausted.
  bool reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
  }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  void set_size(std::size_t size) noexcept { size_ = size; }
  std::string_view view() const noexcept { return {data_ == nullptr ? "" : data_, size_}; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace marblewick
