#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "storage/container.h"
#include "storage/errors.h"

namespace kel {
namespace {

std::vector<uint8_t> RandomBlocks(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = uint8_t(rng());
  return v;
}

TEST(CipherTest, RoundTripsAndChangesEveryBlock) {
  for (const char* password : {"a", "secret", "Пароль-866", "a much longer owner password than sixty-four characters, cycling"}) {
    SCOPED_TRACE(password);
    Cipher cipher(password);
    std::vector<uint8_t> plain = RandomBlocks(64 * 20, 3);
    plain.insert(plain.end(), 64, 0);  // an all-zero block
    std::vector<uint8_t> data = plain;
    cipher.Encipher(data.data(), data.size());
    for (size_t off = 0; off < data.size(); off += 64) {
      EXPECT_NE(0, std::memcmp(data.data() + off, plain.data() + off, 64)) << off;
    }
    cipher.Decipher(data.data(), data.size());
    EXPECT_EQ(data, plain);
  }
}

TEST(CipherTest, KeyDependsOnEveryCharacterAndStopsAtNul) {
  std::vector<uint8_t> plain = RandomBlocks(64, 9);
  auto enc = [&](std::string_view pw) {
    std::vector<uint8_t> d = plain;
    Cipher(pw).Encipher(d.data(), d.size());
    return d;
  };
  EXPECT_NE(enc("secret"), enc("secreT"));
  EXPECT_NE(enc("secret"), enc("Secret"));  // the first character is used too
  EXPECT_NE(enc("ab"), enc("ba"));
  EXPECT_EQ(enc("secret"), enc("secret"));
  EXPECT_EQ(enc(std::string_view("abc\0def", 7)), enc("abc"));
}

class CipherFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel_cipher_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/C.KST";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<BlockFile> Open(std::string_view password) {
    std::unique_ptr<platform::File> f;
    platform::File::OpenOptions o;
    o.create = true;
    EXPECT_EQ(platform::File::Open(path_, o, &f), 0);
    auto bf = std::make_unique<BlockFile>(std::move(f));
    bf->SetPassword(password);
    return bf;
  }

  std::string dir_, path_;
};

// A file written with a password shows no plain bytes on disk; opened
// without the password, or with another one, its header fails the
// signature check.
TEST_F(CipherFileTest, WrongPasswordFailsTheSignatureCheck) {
  Header h = Header::Empty();
  h.change_count = 5;
  uint8_t header[512];
  h.Encode(header);
  std::vector<Record> recs(2);
  recs[1].bytes = "key and some data";
  recs[1].key_len = 3;
  std::vector<const Record*> ptrs = {&recs[0], &recs[1]};
  PageImage page = BuildPageImage(ptrs, 0, uint16_t(SizeEstimate(ptrs, 0)));
  StampImage(page, 0, {});
  std::vector<uint8_t> plain_page = page.bytes;
  {
    auto bf = Open("owner");
    uint8_t copy[512];
    std::memcpy(copy, header, 512);
    bf->WriteBlocks(0, copy, 512);
    EXPECT_EQ(0, std::memcmp(copy, header, 512));  // the caller's buffer is unchanged
    bf->WriteBlocks(512, page.bytes.data(), uint32_t(page.bytes.size()));
    EXPECT_EQ(page.bytes, plain_page);
    EXPECT_EQ(bf->latched_error(), 0);
  }
  {
    auto raw = Open("");
    uint8_t disk[512];
    raw->ReadExact(0, disk, 512);
    EXPECT_NE(0, std::memcmp(disk, header, 512));
    Header back;
    EXPECT_FALSE(Header::Decode(disk, &back));
    std::vector<uint8_t> disk_page(256);
    raw->ReadExact(512, disk_page.data(), 256);
    EXPECT_NE(disk_page, plain_page);
    EXPECT_EQ(std::search(disk_page.begin(), disk_page.end(), recs[1].bytes.begin(), recs[1].bytes.end()),
              disk_page.end());
  }
  {
    auto other = Open("Owner");
    uint8_t disk[512];
    other->ReadExact(0, disk, 512);
    Header back;
    EXPECT_FALSE(Header::Decode(disk, &back));
  }
  {
    auto right = Open("owner");
    uint8_t disk[512];
    right->ReadExact(0, disk, 512);
    Header back;
    ASSERT_TRUE(Header::Decode(disk, &back));
    EXPECT_EQ(back.change_count, 5u);
    OperationFrame frame("C");
    std::vector<uint8_t> image = right->ReadPageImageAt(512, 1);
    ParsedPage parsed = ParsePageImage(image.data(), image.size());
    ASSERT_EQ(parsed.records.size(), 2u);
    EXPECT_EQ(parsed.records[1].bytes, recs[1].bytes);
  }
}

}  // namespace
}  // namespace kel
