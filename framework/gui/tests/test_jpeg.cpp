// JPEG image controls: pictures made with libjpeg's own compressor, decoded
// by the control for a true-colour and a 256-colour (and 16-colour)
// display; broken, oversized and non-regular files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <vector>

#include <jpeglib.h>

#include "framework/gui/jpeg.h"
#include "framework/gui/tests/support.h"
#include "framework/gui/window.h"

#include <QMainWindow>
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

// A picture of four quadrants: red, green / blue, white. Gradients inside
// make more than 256 colours.
std::vector<unsigned char> MakeJpeg(int width, int height, bool gray = false) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = gray ? 1 : 3;
  info.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 95, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(static_cast<size_t>(width) * (gray ? 1 : 3));
  while (info.next_scanline < info.image_height) {
    int y = static_cast<int>(info.next_scanline);
    for (int x = 0; x < width; ++x) {
      unsigned char r, g, b;
      bool top = y < height / 2, left = x < width / 2;
      int shade = (x * 37 + y * 11) % 48;
      if (top && left) r = static_cast<unsigned char>(255 - shade), g = 0, b = 0;
      else if (top) r = 0, g = static_cast<unsigned char>(255 - shade), b = 0;
      else if (left) r = 0, g = 0, b = static_cast<unsigned char>(255 - shade);
      else r = g = b = static_cast<unsigned char>(255 - shade / 4);
      if (gray) row[static_cast<size_t>(x)] = static_cast<unsigned char>(left ? 40 : 220);
      else {
        row[static_cast<size_t>(x) * 3] = r;
        row[static_cast<size_t>(x) * 3 + 1] = g;
        row[static_cast<size_t>(x) * 3 + 2] = b;
      }
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  std::vector<unsigned char> data(out, out + size);
  jpeg_destroy_compress(&info);
  free(out);
  return data;
}

void Write(const std::string& path, const std::vector<unsigned char>& data) {
  mvntest::WriteFile(path, std::string(data.begin(), data.end()));
}

QColor At(const QImage& image, double fx, double fy) {
  return image.pixelColor(static_cast<int>(image.width() * fx), static_cast<int>(image.height() * fy));
}

void ExpectQuadrants(const QImage& image) {
  QColor red = At(image, 0.25, 0.25), green = At(image, 0.75, 0.25), blue = At(image, 0.25, 0.75),
         white = At(image, 0.75, 0.75);
  EXPECT_GT(red.red(), 180);
  EXPECT_LT(red.green(), 70);
  EXPECT_GT(green.green(), 180);
  EXPECT_LT(green.blue(), 70);
  EXPECT_GT(blue.blue(), 180);
  EXPECT_LT(blue.red(), 70);
  EXPECT_GT(white.red(), 200);
  EXPECT_GT(white.blue(), 200);
}

struct DepthGuard {
  ~DepthGuard() { SetDisplayDepth(0); }
};

TEST(Jpeg, NamesThatAreJpegFiles) {
  struct Case {
    const char* name;
    bool jpeg;
  } cases[] = {{"logo.JPG", true},        {"logo.jpeg", true},   {"a/b/c.Jpe", true}, {"C:\\x\\y.JFIF", true},
               {"logo.png", false},       {"jpg", false},        {"x.jpg.txt", false}, {"dir.jpg/file", false},
               {"photo.jfi", false}};
  for (const Case& c : cases) EXPECT_EQ(IsJpegName(c.name), c.jpeg) << c.name;
}

TEST(Jpeg, TrueColourDisplay) {
  DepthGuard guard;
  SetDisplayDepth(24);
  std::vector<unsigned char> data = MakeJpeg(64, 48);
  JpegResult r = DecodeJpegData(data.data(), data.size());
  ASSERT_FALSE(r.image.isNull()) << r.error;
  EXPECT_EQ(r.image.size(), QSize(64, 48));
  EXPECT_FALSE(r.quantised);
  ExpectQuadrants(r.image);

  std::vector<unsigned char> gray = MakeJpeg(20, 10, true);
  JpegResult g = DecodeJpegData(gray.data(), gray.size());
  ASSERT_FALSE(g.image.isNull()) << g.error;
  EXPECT_LT(At(g.image, 0.25, 0.5).red(), 70);
  EXPECT_GT(At(g.image, 0.75, 0.5).green(), 190);
}

TEST(Jpeg, ColourDisplaysOf256AndFewerColoursAreQuantised) {
  DepthGuard guard;
  std::vector<unsigned char> data = MakeJpeg(96, 64);
  for (int depth : {8, 4}) {
    SetDisplayDepth(depth);
    EXPECT_EQ(DisplayDepth(), depth);
    JpegResult r = DecodeJpegData(data.data(), data.size());
    ASSERT_FALSE(r.image.isNull()) << r.error;
    EXPECT_TRUE(r.quantised);
    EXPECT_EQ(r.image.format(), QImage::Format_Indexed8);
    EXPECT_LE(r.colours, 1 << depth);
    EXPECT_GT(r.colours, 1);
    EXPECT_EQ(r.image.colorCount(), r.colours);
    std::set<int> used;
    for (int y = 0; y < r.image.height(); ++y)
      for (int x = 0; x < r.image.width(); ++x) used.insert(r.image.pixelIndex(x, y));
    EXPECT_LE(static_cast<int>(used.size()), 1 << depth);
    ExpectQuadrants(r.image.convertToFormat(QImage::Format_RGB32));
  }
}

TEST(Jpeg, ImageControlShowsTheFileAndTheScreenshot) {
  DepthGuard guard;
  mvntest::TempDir dir;
  std::string path = dir / "Logo.JPEG";
  Write(path, MakeJpeg(120, 80));
  Window w("CoverPageSetup", "Cover Page Setup", QRect(0, 0, 160, 100));
  auto* image = new ImageControl();
  int field = w.Add(ControlType::Image, "?Image1", image, QRect(5, 5, 140, 80));
  EXPECT_STREQ(ControlTypeName(w.Type(field)), "IMAGE");
  w.Open();
  SetDisplayDepth(8);
  ASSERT_TRUE(image->SetFile(path)) << image->Error();
  EXPECT_EQ(image->Picture().format(), QImage::Format_Indexed8);
  ExpectQuadrants(image->grab().toImage().copy(image->rect().adjusted(20, 10, -20, -10)));
  EXPECT_TRUE(guitest::Screenshot(w.Widget(), "image-256-colours.png"));
  SetDisplayDepth(24);
  ASSERT_TRUE(image->SetFile(path));
  EXPECT_NE(image->Picture().format(), QImage::Format_Indexed8);

  // Another name, or a file that is no JPEG: the control is emptied.
  std::string png = dir / "logo.png";
  Write(png, MakeJpeg(8, 8));
  EXPECT_FALSE(image->SetFile(png));
  EXPECT_TRUE(image->Picture().isNull());
  w.Close();
}

TEST(Jpeg, BrokenFilesFailWithoutEndingTheProcess) {
  mvntest::TempDir dir;
  std::vector<unsigned char> good = MakeJpeg(64, 48);
  struct Case {
    const char* what;
    std::vector<unsigned char> data;
  } cases[] = {
      {"text", std::vector<unsigned char>{'h', 'e', 'l', 'l', 'o'}},
      {"header only", std::vector<unsigned char>(good.begin(), good.begin() + 20)},
      {"start of image then junk", [] {
         std::vector<unsigned char> d(300, 0x5A);
         const unsigned char start[] = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02};
         for (size_t i = 0; i < sizeof start; ++i) d[i] = start[i];
         return d;
       }()},
  };
  for (const Case& c : cases) {
    JpegResult r = DecodeJpegData(c.data.data(), c.data.size());
    EXPECT_TRUE(r.image.isNull()) << c.what;
    EXPECT_FALSE(r.error.empty()) << c.what;
  }
  // A picture cut short keeps what was decoded (libjpeg fills the rest).
  std::vector<unsigned char> cut(good.begin(), good.begin() + static_cast<long>(good.size() * 2 / 3));
  JpegResult r = DecodeJpegData(cut.data(), cut.size());
  EXPECT_FALSE(r.image.isNull()) << r.error;

  EXPECT_FALSE(DecodeJpegFile(dir / "missing.jpg").error.empty());
  EXPECT_FALSE(DecodeJpegData(nullptr, 0).error.empty());
}

TEST(Jpeg, OversizedPicturesAreRefusedBeforeDecoding) {
  std::vector<unsigned char> data = MakeJpeg(16, 16);
  // The frame header (SOF0): FF C0, length, precision, height, width.
  size_t sof = 0;
  for (size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0xFF && data[i + 1] == 0xC0) {
      sof = i;
      break;
    }
  ASSERT_NE(sof, 0u);
  for (auto [h, w] : {std::pair{60000, 60000}, std::pair{10000, 10000}}) {
    std::vector<unsigned char> big = data;
    big[sof + 5] = static_cast<unsigned char>(h >> 8);
    big[sof + 6] = static_cast<unsigned char>(h & 0xFF);
    big[sof + 7] = static_cast<unsigned char>(w >> 8);
    big[sof + 8] = static_cast<unsigned char>(w & 0xFF);
    JpegResult r = DecodeJpegData(big.data(), big.size());
    EXPECT_TRUE(r.image.isNull());
    EXPECT_NE(r.error.find("too large"), std::string::npos) << r.error;
  }
}

TEST(Jpeg, FifoIsRefusedWithoutBlocking) {
  mvntest::TempDir dir;
  std::string fifo = dir / "trap.jpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  JpegResult r = DecodeJpegFile(fifo);
  EXPECT_TRUE(r.image.isNull());
  EXPECT_EQ(r.error, "not a regular file");
  EXPECT_EQ(DecodeJpegFile("/dev/null").error, "not a regular file");
}

}  // namespace
