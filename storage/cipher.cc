// The owner-password block cipher.
//
// Data travel in 64-byte blocks, each read as 16 little-endian 32-bit words.
// Step i of enciphering takes key word k = K[i], partner j = k & 15, and
// swaps the bits of W[i] and W[j] selected by ~k before adding k to both;
// deciphering runs the steps backwards. The key block is built from the
// password (cycling through it from its second character, its terminating
// NUL included once per cycle, byte i landing at (17 * i) mod 64) and then
// enciphered twice with itself as the key, each step reading its key word
// from the block as it is at that moment.
#include <cstring>

#include "storage/bytes.h"
#include "storage/container.h"

namespace kel {
namespace {

void EncipherWords(uint32_t* w, const uint32_t* key) {
  for (int i = 0; i < 16; ++i) {
    uint32_t k = key[i];
    int j = int(k & 15);
    uint32_t a = w[i];
    uint32_t b = w[j];
    w[j] = ((b & k) | (a & ~k)) + k;
    w[i] = ((a & k) | (b & ~k)) + k;
  }
}

void DecipherWords(uint32_t* w, const uint32_t* key) {
  for (int i = 15; i >= 0; --i) {
    uint32_t k = key[i];
    int j = int(k & 15);
    uint32_t x = w[i] - k;
    uint32_t y = w[j] - k;
    w[i] = (x & k) | (y & ~k);
    w[j] = (y & k) | (x & ~k);
  }
}

void LoadBlock(const uint8_t* p, uint32_t* w) {
  for (int i = 0; i < 16; ++i) w[i] = GetLe32(p + 4 * i);
}
void StoreBlock(const uint32_t* w, uint8_t* p) {
  for (int i = 0; i < 16; ++i) PutLe32(p + 4 * i, w[i]);
}

}  // namespace

Cipher::Cipher(std::string_view password) {
  // The password as a C string: up to its first NUL, then the NUL itself.
  std::string text(password.substr(0, password.find('\0')));
  const char* first = text.c_str();
  const char* q = first;
  uint8_t bytes[64];
  for (int i = 0; i < 64; ++i) {
    if (*q != '\0') {
      ++q;
    } else {
      q = first;
    }
    bytes[(17 * i) % 64] = uint8_t(uint8_t(*q) + i);
  }
  LoadBlock(bytes, key_.data());
  EncipherWords(key_.data(), key_.data());
  EncipherWords(key_.data(), key_.data());
}

void Cipher::Encipher(uint8_t* data, size_t len) const {
  uint32_t w[16];
  for (size_t off = 0; off + 64 <= len; off += 64) {
    LoadBlock(data + off, w);
    EncipherWords(w, key_.data());
    StoreBlock(w, data + off);
  }
}

void Cipher::Decipher(uint8_t* data, size_t len) const {
  uint32_t w[16];
  for (size_t off = 0; off + 64 <= len; off += 64) {
    LoadBlock(data + off, w);
    DecipherWords(w, key_.data());
    StoreBlock(w, data + off);
  }
}

}  // namespace kel
