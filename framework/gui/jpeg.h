// JPEG pictures for image controls, decoded with libjpeg directly.
//
// The decoder reads the header, refuses pictures above the size limit,
// decompresses scanline by scanline with the accurate integer inverse DCT,
// and quantises to at most 2^depth colours when the display shows 256
// colours or fewer. libjpeg's errors end in our own error manager (a long
// jump back into the decoder), never in the library's default one, which
// ends the process.
#pragma once

#include <QImage>
#include <QLabel>
#include <string>
#include <string_view>

namespace mvn::framework {

// ".JPG", ".JPEG", ".JPE" and ".JFIF", in any letter case.
bool IsJpegName(std::string_view path);

// The colour depth the pictures are decoded for: the primary screen's, or
// the one set here (0 = the screen's again). Tests set 8 for a 256-colour
// display.
void SetDisplayDepth(int bits);
int DisplayDepth();

// Pictures larger than this are refused (width and height each, and their
// product).
inline constexpr int MaxJpegSide = 16384;
inline constexpr long long MaxJpegPixels = 40LL * 1000 * 1000;

struct JpegResult {
  QImage image;          // null on failure
  std::string error;     // what went wrong
  bool quantised = false;
  int colours = 0;       // palette size when quantised
};

// Decodes the file (a regular file only; FIFOs and devices are refused
// without being opened for reading).
JpegResult DecodeJpegFile(const std::string& path);
JpegResult DecodeJpegData(const unsigned char* data, size_t size);

// An image control: shows a JPEG file scaled to fit, or nothing.
class ImageControl : public QLabel {
  Q_OBJECT
 public:
  explicit ImageControl(QWidget* parent = nullptr);
  // Loads the picture; false (and an empty control) when the name is no
  // JPEG name or the file cannot be decoded.
  bool SetFile(const std::string& path);
  const std::string& File() const { return m_path; }
  const QImage& Picture() const { return m_image; }
  const std::string& Error() const { return m_error; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Show();
  std::string m_path;
  std::string m_error;
  QImage m_image;
};

}  // namespace mvn::framework
