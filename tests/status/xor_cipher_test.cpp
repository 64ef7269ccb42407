// The repeating-key XOR of the status datagrams.
#include "status/xor_cipher.h"

#include <gtest/gtest.h>

#include <string>

namespace kvx {
namespace {

std::string Xored(std::string text, std::string_view key) {
  XorTransform(text, key);
  return text;
}

TEST(XorCipherTest, TransformsByteByByteWithTheRepeatingKey) {
  struct Case {
    std::string text, key, want;
  } cases[] = {
      {"abc", "", "abc"},                          // empty key
      {"", "key", ""},                             // empty text
      {"abc", " ", "ABC"},                         // one-byte key: 0x20
      {"Morvek", "Morvek", std::string(6, '\0')},  // text byte == key byte
      {"aXb", "aYb", std::string("\0\x01\0", 3)},  // only equal bytes zero
      {"ab", "\x01\x02\x03\x04", "``"},            // key longer than text
      {"\x80\xFF", "\x7F", "\xFF\x80"},            // every byte value
  };
  for (const auto& c : cases)
    EXPECT_EQ(Xored(c.text, c.key), c.want) << c.text << " / " << c.key;
}

TEST(XorCipherTest, KeyWrapsAtItsLengthAndRestartsForEveryText) {
  const std::string key = "\x01\x02\x04\x08\x10\x20";
  std::string text(40, 'A');
  std::string encoded = Xored(text, key);
  for (std::size_t i = 0; i < text.size(); ++i)
    ASSERT_EQ(encoded[i], static_cast<char>('A' ^ key[i % 6])) << i;
  EXPECT_EQ(encoded[6], 'A' ^ key[0]);
  EXPECT_EQ(encoded[39], 'A' ^ key[3]);
  // A second text starts at key byte 0 again.
  EXPECT_EQ(Xored("A", key), std::string(1, 'A' ^ key[0]));
}

TEST(XorCipherTest, ComponentEnciphersOnAssignmentAndRoundTrips) {
  TXORCipher cipher;
  EXPECT_TRUE(cipher.Key().empty());
  cipher.SetKey("Morvek");
  const std::string plain = "3003,#Morvek#";
  cipher.SetDecoded(plain);
  EXPECT_EQ(cipher.Decoded(), plain);
  ASSERT_EQ(cipher.Encoded().size(), plain.size());
  EXPECT_EQ(cipher.Encoded().substr(6, 6), std::string(6, '\0'))
      << "key aligned with the text gives zero bytes";
  EXPECT_EQ(Xored(cipher.Encoded(), cipher.Key()), plain);

  // A changed key takes effect with the next text; nothing carries over.
  cipher.SetKey("");
  cipher.SetDecoded("plain");
  EXPECT_EQ(cipher.Encoded(), "plain");
}

}  // namespace
}  // namespace kvx
