#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvo {

// Text that must not outlive its use (a password): its storage is wiped
// whenever it is released, including when it grows.
class SecretString {
 public:
  SecretString();
  explicit SecretString(std::string_view text);
  SecretString(SecretString&& other) noexcept;
  SecretString& operator=(SecretString&& other) noexcept;
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString();

  void append(std::string_view bytes);
  // Drops the last n bytes, wiping them.
  void truncate(std::size_t size);
  void clear() { truncate(0); }

  std::string_view view() const { return text_; }
  std::size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }

 private:
  void wipe();
  std::string text_;
};

// Overwrites the bytes in a way the optimiser keeps.
void wipe_bytes(void* data, std::size_t size);
void wipe_string(std::string& text);

}  // namespace korvo
