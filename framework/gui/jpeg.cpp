#include "framework/gui/jpeg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QScreen>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

// libjpeg's header needs stdio first.
#include <jpeglib.h>

namespace mvn::framework {

namespace {

std::atomic<int> g_depth{0};

// Our error manager: the message is kept and control jumps back to the
// decoder, which cleans up and reports the failure.
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->message);
  longjmp(manager->jump, 1);
}

// Warnings (corrupt data that libjpeg can go on with) are not shown.
void OutputMessage(j_common_ptr) {}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The decoder proper. Everything that must be released after a long jump
// lives outside the jump's frame (in state), so nothing is lost.
struct DecodeState {
  jpeg_decompress_struct info;
  ErrorManager error;
  bool created = false;
  std::vector<unsigned char> row;
  QImage image;
};

bool Decode(DecodeState& s, const unsigned char* data, size_t size, JpegResult& result) {
  std::memset(&s.info, 0, sizeof s.info);
  s.info.err = jpeg_std_error(&s.error.pub);
  s.error.pub.error_exit = ErrorExit;
  s.error.pub.output_message = OutputMessage;
  s.error.message[0] = 0;
  if (setjmp(s.error.jump)) {
    result.error = s.error.message;
    result.image = QImage();
    return false;
  }
  jpeg_create_decompress(&s.info);
  s.created = true;
  jpeg_mem_src(&s.info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&s.info, TRUE);

  if (s.info.image_width == 0 || s.info.image_height == 0 || s.info.image_width > MaxJpegSide ||
      s.info.image_height > MaxJpegSide ||
      static_cast<long long>(s.info.image_width) * s.info.image_height > MaxJpegPixels) {
    result.error = "picture too large (" + std::to_string(s.info.image_width) + " x " +
                   std::to_string(s.info.image_height) + ")";
    return false;
  }

  bool cmyk = s.info.jpeg_color_space == JCS_CMYK || s.info.jpeg_color_space == JCS_YCCK;
  s.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  s.info.dct_method = JDCT_ISLOW;
  int depth = DisplayDepth();
  bool quantise = depth > 0 && depth <= 8 && !cmyk;
  if (quantise) {
    s.info.quantize_colors = TRUE;
    s.info.desired_number_of_colors = 1 << depth;
    s.info.two_pass_quantize = TRUE;
    s.info.dither_mode = JDITHER_FS;
  }
  jpeg_start_decompress(&s.info);

  const int width = static_cast<int>(s.info.output_width);
  const int height = static_cast<int>(s.info.output_height);
  const int components = s.info.output_components;
  s.image = QImage(width, height, quantise ? QImage::Format_Indexed8 : QImage::Format_RGB32);
  QImage& image = s.image;
  if (image.isNull()) {
    result.error = "out of memory";
    jpeg_abort_decompress(&s.info);
    return false;
  }
  if (quantise) {
    QList<QRgb> table;
    const int colours = s.info.actual_number_of_colors;
    for (int i = 0; i < colours; ++i) {
      int r = s.info.colormap[0][i];
      // A quantised picture has one component (the index); the map has
      // one row per colour component.
      int g = s.info.out_color_components >= 3 ? s.info.colormap[1][i] : r;
      int b = s.info.out_color_components >= 3 ? s.info.colormap[2][i] : r;
      table.push_back(qRgb(r, g, b));
    }
    image.setColorTable(table);
    result.quantised = true;
    result.colours = colours;
  }
  s.row.assign(static_cast<size_t>(width) * static_cast<size_t>(components), 0);
  while (s.info.output_scanline < s.info.output_height) {
    int y = static_cast<int>(s.info.output_scanline);
    JSAMPROW rows[1] = {s.row.data()};
    jpeg_read_scanlines(&s.info, rows, 1);
    if (quantise) {
      std::memcpy(image.scanLine(y), s.row.data(), static_cast<size_t>(width));
      continue;
    }
    auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
    const unsigned char* in = s.row.data();
    for (int x = 0; x < width; ++x, in += components) {
      if (cmyk) {
        // Adobe's CMYK JPEGs store the inks inverted.
        int k = in[3];
        out[x] = qRgb(in[0] * k / 255, in[1] * k / 255, in[2] * k / 255);
      } else {
        out[x] = qRgb(in[0], in[1], in[2]);
      }
    }
  }
  jpeg_finish_decompress(&s.info);
  result.image = image;
  return true;
}

}  // namespace

bool IsJpegName(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string ext = Lower(name.substr(dot));
  return ext == ".jpg" || ext == ".jpeg" || ext == ".jpe" || ext == ".jfif";
}

void SetDisplayDepth(int bits) { g_depth = bits; }

int DisplayDepth() {
  int forced = g_depth;
  if (forced > 0) return forced;
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    if (QScreen* screen = app->primaryScreen()) return screen->depth();
  return 24;
}

JpegResult DecodeJpegData(const unsigned char* data, size_t size) {
  JpegResult result;
  if (!data || size == 0) {
    result.error = "empty file";
    return result;
  }
  DecodeState state;
  Decode(state, data, size, result);
  if (state.created) jpeg_destroy_decompress(&state.info);
  return result;
}

JpegResult DecodeJpegFile(const std::string& path) {
  JpegResult result;
  // O_NONBLOCK: a FIFO does not hang the open; it is refused right after.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    result.error = std::string("cannot open: ") + std::strerror(errno);
    return result;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    result.error = "not a regular file";
    return result;
  }
  // The compressed data of the largest picture accepted is far below this.
  const off_t maxBytes = 256LL * 1024 * 1024;
  if (st.st_size > maxBytes) {
    ::close(fd);
    result.error = "file too large";
    return result;
  }
  std::vector<unsigned char> data(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  data.resize(got);
  return DecodeJpegData(data.data(), data.size());
}

// ---------------------------------------------------------------------------

ImageControl::ImageControl(QWidget* parent) : QLabel(parent) { setAlignment(Qt::AlignCenter); }

bool ImageControl::SetFile(const std::string& path) {
  m_path = path;
  m_image = QImage();
  m_error.clear();
  if (!IsJpegName(path)) {
    m_error = "not a JPEG file name";
  } else {
    JpegResult result = DecodeJpegFile(path);
    m_image = result.image;
    m_error = result.error;
  }
  Show();
  return !m_image.isNull();
}

void ImageControl::Show() {
  if (m_image.isNull()) {
    clear();
    return;
  }
  setPixmap(QPixmap::fromImage(m_image.scaled(size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void ImageControl::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  Show();
}

}  // namespace mvn::framework
