// The transport-alphabet decoder and the identity token's stored form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "delivery/common/decode64.h"
#include "delivery/common/identitypage.h"
#include "lib/encode.h"

namespace {

struct Decoded {
  bool ok;
  std::string bytes;
};

Decoded Decode(const std::string& text, DWORD capacity) {
  std::string out(capacity + 8, '\x55');  // guard bytes after the capacity
  DWORD n = capacity;
  bool ok = Decode64Block(text.data(), static_cast<DWORD>(text.size()), reinterpret_cast<BYTE*>(out.data()), &n);
  for (DWORD i = capacity; i < capacity + 8; ++i) EXPECT_EQ(out[i], '\x55') << "written past the capacity";
  return {ok, out.substr(0, n)};
}

std::string Encode(const std::string& clear) {
  CTEXTBUF64 token;
  EncodeIdentityToken(clear.data(), static_cast<DWORD>(clear.size()), &token);
  return token.Text();
}

}  // namespace

TEST(Decode64, TableOfTexts) {
  struct Case {
    const char* text;
    DWORD capacity;
    bool ok;
    std::string bytes;
  } cases[] = {
      {"OM9Z", 16, true, "abc"},
      {"OG..", 16, true, "a"},             // one byte: six bits and the high two of the second
      {"OM8.", 16, true, "ab"},
      {"OG..OM9Z", 16, true, "a"},         // the first pad ends decoding
      {"OM9ZOM9Z", 16, true, "abcabc"},
      {"OM9", 16, true, "ab"},             // a short group at the end keeps its whole bytes
      {"O", 16, true, ""},
      {"", 16, true, ""},
      {" 000", 16, true, std::string(3, '\0')},  // outside the alphabet counts as 0
      {"OM9ZOM9Z", 3, false, "abc"},       // the next group does not fit
      {"OM9ZOM8.", 5, true, "abcab"},      // exactly fits
      {"OM9ZOM8.", 4, false, "abc"},
  };
  for (const Case& c : cases) {
    Decoded d = Decode(c.text, c.capacity);
    EXPECT_EQ(d.ok, c.ok) << c.text;
    EXPECT_EQ(d.bytes, c.bytes) << c.text;
  }
}

TEST(Decode64, InvertsTheEncoderForEveryLengthAndByte) {
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
  for (size_t length = 0; length <= data.size(); length += 7) {
    std::string clear = data.substr(0, length);
    std::string stored = Encode(clear);
    EXPECT_EQ(stored.size(), (length + 2) / 3 * 4) << "the token text grows instead of being cut";
    Decoded d = Decode(stored, static_cast<DWORD>(length));
    EXPECT_TRUE(d.ok) << length;
    EXPECT_EQ(d.bytes, clear) << length;
  }
}

TEST(IdentityToken, DecodesUpToTheLimitAndRefusesLonger) {
  std::string edge(IDENTITY_TOKEN_CLEAR_LIMIT, 'x');
  char buffer[IDENTITY_TOKEN_CLEAR_LIMIT + 1];
  DWORD length = 0;
  ASSERT_TRUE(DecodeIdentityToken(Encode(edge).c_str(), buffer, &length));
  EXPECT_EQ(length, IDENTITY_TOKEN_CLEAR_LIMIT);
  EXPECT_EQ(std::string(buffer), edge) << "the 256-byte token is whole and NUL-ended";

  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_FALSE(DecodeIdentityToken(Encode(edge + "y").c_str(), buffer, &length));
  EXPECT_EQ(length, 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(Encode(""), "");
}
