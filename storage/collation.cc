#include "storage/collation.h"

#include <cstring>
#include <vector>

#include "platform/codepage.h"
#include "storage/errors.h"

namespace kel {
namespace {

// Capital Cyrillic letters of the ANSI code page in sort order.
constexpr char32_t kCyrillicOrder[] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0490, 0x0403, 0x0414, 0x0402,  // А Б В Г Ґ Ѓ Д Ђ
    0x0415, 0x0401, 0x0404, 0x0416, 0x0417, 0x0405, 0x0418, 0x0406,  // Е Ё Є Ж З Ѕ И І
    0x0407, 0x0419, 0x0408, 0x041A, 0x040C, 0x041B, 0x0409, 0x041C,  // Ї Й Ј К Ќ Л Љ М
    0x041D, 0x040A, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x040B,  // Н Њ О П Р С Т Ћ
    0x0423, 0x040E, 0x0424, 0x0425, 0x0426, 0x0427, 0x040F, 0x0428,  // У Ў Ф Х Ц Ч Џ Ш
    0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,          // Щ Ъ Ы Ь Э Ю Я
};

Collation BuildDefault() {
  using namespace kel::platform;
  uint8_t b[kCollationSize] = {};
  bool placed[256] = {};
  std::vector<uint8_t> order;
  auto put = [&](int c) {
    if (!placed[c]) {
      placed[c] = true;
      order.push_back(uint8_t(c));
    }
  };
  auto put_pair = [&](int upper) {
    int lower = LowerAnsi(uint8_t(upper));
    b[512 + upper] = uint8_t(lower);
    b[512 + lower] = uint8_t(upper);
    b[768 + upper] = Collation::kUpper;
    b[768 + lower] = Collation::kLower;
  };
  for (int c = 0; c < 256; ++c) b[512 + c] = uint8_t(c);

  std::vector<int> latin, cyrillic;
  for (int c = 'A'; c <= 'Z'; ++c) latin.push_back(c);
  for (char32_t u : kCyrillicOrder) cyrillic.push_back(UnicodeToAnsi(u, -1));

  bool letter[256] = {};
  for (int c : latin) letter[c] = letter[LowerAnsi(uint8_t(c))] = true;
  for (int c : cyrillic) letter[c] = letter[LowerAnsi(uint8_t(c))] = true;

  for (int c = 0; c < 0x20; ++c) put(c);
  put(' ');
  put(0xA0);
  for (int c = 0x21; c < 256; ++c)
    if (!letter[c] && !(c >= '0' && c <= '9')) put(c);
  for (int c = '0'; c <= '9'; ++c) {
    put(c);
    b[768 + c] = Collation::kDigit;
  }
  for (int c : latin) put(c), put(LowerAnsi(uint8_t(c))), put_pair(c);
  for (int c : cyrillic) put(c), put(LowerAnsi(uint8_t(c))), put_pair(c);
  Require(order.size() == 256, 3100);

  for (size_t w = 0; w < order.size(); ++w) b[order[w]] = uint8_t(w);
  for (int o = 0; o < 256; ++o) b[256 + o] = b[OemToAnsi(uint8_t(o))];
  static constexpr char kLocale[] = "KelStore ru 1251/866 v1";
  std::memcpy(b + 1088, kLocale, sizeof kLocale);
  return Collation(b);
}

}  // namespace

Collation::Collation(const uint8_t (&bytes)[kCollationSize]) {
  std::memcpy(b_.data(), bytes, kCollationSize);
}

const Collation& Collation::Default() {
  static const Collation collation = BuildDefault();
  return collation;
}

bool Collation::Expansion(uint8_t c, uint8_t out[2]) const {
  for (size_t e = 1024; e < 1088; e += 4) {
    if (b_[e] == 0) return false;
    if (b_[e] == c) {
      out[0] = b_[e + 1];
      out[1] = b_[e + 2];
      return true;
    }
  }
  return false;
}

std::string EncodeCollationData(const Collation& collation, bool oem) {
  std::string data(kCollationRecordSize, '\0');
  data[0] = oem ? 1 : 0;
  std::memcpy(data.data() + 1, collation.bytes().data(), kCollationSize);
  return data;
}

void DecodeCollationData(std::string_view data, Collation* collation, bool* oem) {
  Require(data.size() == kCollationRecordSize, kErrCollationRecord);
  *oem = data[0] != 0;
  std::memcpy(collation->mutable_bytes().data(), data.data() + 1, kCollationSize);
}

}  // namespace kel
