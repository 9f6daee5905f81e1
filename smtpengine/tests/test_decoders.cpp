// The POP3 side's decoders and buffer helpers without a server: the
// quoted-printable and base64 tables (worked out by hand), pieces cut
// inside an escape or a group, attachment names made safe, encoded words,
// and the four buffer operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "smtpengine/engine.h"

using namespace mvn::smtpengine;

namespace {

std::string Qp(const std::string& in, bool finish = true) {
  DecoderCarry carry;
  std::string out(in.size() + 4, '\0');
  std::size_t n =
      DecodeQuotedPrintable(&carry, in.data(), in.size(), reinterpret_cast<unsigned char*>(out.data()), finish);
  out.resize(n);
  return out;
}

std::string B64(const std::string& in) {
  DecoderCarry carry;
  std::string out(in.size() + 4, '\0');
  std::size_t n = DecodeBase64(&carry, in.data(), in.size(), reinterpret_cast<unsigned char*>(out.data()), true);
  out.resize(n);
  return out;
}

TEST(Decoders, QuotedPrintableTable) {
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"plain text\r\n", "plain text\r\n"},
      {"caf=E9\r\n", "caf\xE9\r\n"},
      {"=3D=20=41\r\n", "= A\r\n"},
      {"lower =e9=3d\r\n", "lower \xE9=\r\n"},  // lower-case digits are digits too
      {"soft=\r\n", "soft"},                    // the line end goes
      {"bare lf soft=\n", "bare lf soft"},
      {"a=\r\nb", "ab"},  // the text after a soft line break goes on
      {"a=\nb", "ab"},
      {"a=\rb", "ab"},
      {"line one=\rstill line one\r\nline two=3D2", "line onestill line one\r\nline two=2"},
      {"a=\r\r\nb", "a\r\nb"},  // one break, then a line end of the text
      {"a=\n\nb", "a\nb"},
      {"name=\"x\"", "name=\"x\""},     // "=" before a quote stays
      {"=?iso?=", "=?iso?="},           // and before "?"
      {"=ZZ!", std::string("\0!", 2)},  // other characters count as 0
      {"end=", "end="},                 // nothing read past the input
      {"end=4", "end=4"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Qp(c.in), c.out) << c.in;
}

TEST(Decoders, Base64Table) {
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"TWFu\r\n", "Man"},
      {"TW Fu\r\n", "Man"},  // blanks and line ends carry no bits
      {"TQ==TWFu", "MMan"},  // padded groups one after the other
      {"TWFuTQ", "ManM"},    // a cut last group still gives its bytes
      {"TWFuT", "Man"},      // one character is no byte
      {"", ""},
      {"/+8A", std::string("\xFF\xEF\x00", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(B64(c.in), c.out) << c.in;
}

TEST(Decoders, PiecesCutInsideAnEscapeOrAGroup) {
  // The same bytes, fed in every cut: the result never changes.
  const std::string qp = "a=E9b=3Dc=\r\n";
  const std::string b64 = "TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu\r\n";
  for (std::size_t cut = 0; cut <= qp.size(); ++cut) {
    DecoderCarry carry;
    unsigned char out[64];
    std::size_t n = DecodeQuotedPrintable(&carry, qp.data(), cut, out, false);
    n += DecodeQuotedPrintable(&carry, qp.data() + cut, qp.size() - cut, out + n, true);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n),
              "a\xE9"
              "b=c")
        << cut;
  }
  for (std::size_t cut = 0; cut <= b64.size(); ++cut) {
    DecoderCarry carry;
    unsigned char out[64];
    std::size_t n = DecodeBase64(&carry, b64.data(), cut, out, false);
    n += DecodeBase64(&carry, b64.data() + cut, b64.size() - cut, out + n, true);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), "Many hands make light work.") << cut;
  }
}

// Whatever the pieces, the result is that of the whole input: random texts
// of escapes, soft line breaks, bare CRs and LFs, quotes and letters, fed in
// random cuts, against the same text decoded at once.
TEST(Decoders, QuotedPrintableGivesTheSameWholeOrInPieces) {
  const char alphabet[] = {'=', '=', '\r', '\n', 'A', '3', 'D', 'e', '9', '"', '?', 'x', ' '};
  std::mt19937 random(45);
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % 24, ' ');
    for (char& c : text) c = alphabet[random() % sizeof alphabet];
    const std::string whole = Qp(text);
    DecoderCarry carry;
    std::string out(text.size() + 8, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    std::size_t n = 0;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t piece = std::min<std::size_t>(text.size() - at, random() % 4);
      n += DecodeQuotedPrintable(&carry, text.data() + at, piece, o + n, false);
      at += piece;
    }
    n += DecodeQuotedPrintable(&carry, "", 0, o + n, true);
    out.resize(n);
    ASSERT_EQ(out, whole) << "input: " << ::testing::PrintToString(text);
  }
}

TEST(Decoders, AttachmentNamesStayInTheirDirectory) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../etc/passwd", "passwd"},
      {"..\\..\\boot.ini", "boot.ini"},
      {"C:evil.exe", "evil.exe"},
      {"..", "noname"},
      {".", "noname"},
      {"", "noname"},
      {"dir/", "noname"},
      {".bashrc", "_bashrc"},
      {"..hidden", "__hidden"},
      {"  spaced name.txt  ", "spaced name.txt"},
      {"tab\there\r\n.txt", "tabhere.txt"},
      {"caf\xC3\xA9.txt", "caf\xC3\xA9.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(SanitiseAttachmentName(c.in), c.out) << c.in;
}

TEST(Decoders, EncodedWords) {
  EXPECT_EQ(DecodeEncodedWords("Subject: =?iso-8859-1?q?Caf=E9_menu?=\r\n", 9), "Subject: Caf\xC3\xA9 menu\r\n");
  EXPECT_EQ(DecodeEncodedWords("Subject: =?ISO-8859-1?B?Q2Fm6Q==?= ok\r\n", 9), "Subject: Caf\xC3\xA9 ok\r\n");
  // Traversal hidden in an encoded word is decoded first, then made safe.
  std::string hidden = DecodeEncodedWords("=?iso-8859-1?q?..=2F..=2Fescape.sh?=", 0);
  EXPECT_EQ(hidden, "../../escape.sh");
  EXPECT_EQ(SanitiseAttachmentName(hidden), "escape.sh");
  // Up to four words; an unfinished word stays as it is.
  EXPECT_EQ(DecodeEncodedWords("=?iso-8859-1?q?a?==?iso-8859-1?q?b?==?iso-8859-1?q?c?==?iso-8859-1?q?d?="
                               "=?iso-8859-1?q?e?=",
                               0),
            "abcd=?iso-8859-1?q?e?=");
  EXPECT_EQ(DecodeEncodedWords("Subject: =?iso-8859-1?q?open", 9), "Subject: =?iso-8859-1?q?open");
}

TEST(BufferHelpers, LineWithAndLineAt) {
  const char* buffer = "+OK\r\nFrom: Ann <a@x.example>\r\nSubject: Fax 12\r\nlast";
  char out[64];
  EXPECT_EQ(smeLineWith(buffer, "subject:", out, sizeof out), 17);
  EXPECT_STREQ(out, "Subject: Fax 12\r\n");
  EXPECT_EQ(smeLineWith(buffer, "ann", out, sizeof out), 19);
  EXPECT_STREQ(out, "Ann <a@x.example>\r\n");
  EXPECT_EQ(smeLineWith(buffer, "missing", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(smeLineAt(buffer, 1, out, sizeof out), 5);
  EXPECT_STREQ(out, "+OK\r\n");
  EXPECT_EQ(smeLineAt(buffer, -3, out, sizeof out), 5);
  EXPECT_EQ(smeLineAt(buffer, 4, out, sizeof out), 4);
  EXPECT_STREQ(out, "last");
  EXPECT_EQ(smeLineAt(buffer, 5, out, sizeof out), 0);
  // Outputs hold size - 1 bytes, terminated, never half a UTF-8 character.
  char small[6];
  EXPECT_EQ(smeLineAt(buffer, 2, small, sizeof small), 5);
  EXPECT_STREQ(small, "From:");
  char tiny[5];
  EXPECT_EQ(smeLineAt("caf\xC3\xA9!\n", 1, tiny, sizeof tiny), 3);
  EXPECT_STREQ(tiny, "caf");
}

TEST(BufferHelpers, EncodeAndDecodeLines) {
  std::string data;
  for (int i = 0; i < 200; ++i) data += static_cast<char>(i * 7);
  std::string encoded((data.size() + 56) / 57 * 78, '\0');
  std::int32_t n = smeEncodeLines(data.data(), encoded.data(), static_cast<std::int32_t>(data.size()));
  // 200 bytes: three lines of 76 characters and one of 40 ("=" padded).
  ASSERT_EQ(n, 3 * 78 + 40 + 2);
  encoded.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(encoded.substr(76, 2), "\r\n");
  EXPECT_EQ(encoded.substr(encoded.size() - 3), "=\r\n");
  EXPECT_NE(encoded[encoded.size() - 4], '=');
  std::string decoded(data.size() + 4, '\0');
  EXPECT_EQ(smeDecodeLines(encoded.data(), decoded.data(), n), 200);
  decoded.resize(200);
  EXPECT_EQ(decoded, data);
  // Every line's padding counts: two padded lines give both their bytes.
  char out[16];
  EXPECT_EQ(smeDecodeLines("TQ==\r\nTWE=\r\n", out, 12), 3);
  EXPECT_EQ(std::string(out, 3), "MMa");
  EXPECT_EQ(smeEncodeLines("M", out, 1), 6);
  EXPECT_EQ(std::string(out, 6), "TQ==\r\n");
}

}  // namespace
