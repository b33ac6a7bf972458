#include "common/secret.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <utility>

namespace korvo {
namespace {
// Above the small-string buffer, so moves hand over the heap block instead
// of copying bytes that would stay behind.
constexpr std::size_t kInitialCapacity = 64;
}  // namespace

void wipe_bytes(void* data, std::size_t size) {
  if (size > 0) OPENSSL_cleanse(data, size);
}

void wipe_string(std::string& text) {
  wipe_bytes(text.data(), text.capacity());
  text.clear();
}

SecretString::SecretString() { text_.reserve(kInitialCapacity); }

SecretString::SecretString(std::string_view text) : SecretString() { append(text); }

SecretString::SecretString(SecretString&& other) noexcept : text_(std::move(other.text_)) {}

SecretString& SecretString::operator=(SecretString&& other) noexcept {
  if (this != &other) {
    wipe();
    text_ = std::move(other.text_);
  }
  return *this;
}

SecretString::~SecretString() { wipe(); }

void SecretString::wipe() { wipe_string(text_); }

void SecretString::append(std::string_view bytes) {
  if (text_.size() + bytes.size() > text_.capacity()) {
    std::string grown;
    grown.reserve(std::max(2 * text_.capacity(), text_.size() + bytes.size()));
    grown.append(text_);
    wipe();
    text_ = std::move(grown);
  }
  text_.append(bytes);
}

void SecretString::truncate(std::size_t size) {
  if (size >= text_.size()) return;
  wipe_bytes(text_.data() + size, text_.size() - size);
  text_.resize(size);
}

}  // namespace korvo
