#include "png_writer.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace tt {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

void on_png_error(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp: keep everything with a destructor outside this function.
bool write_rows(std::FILE* file, png_bytepp rows, unsigned width, unsigned height, std::string& error) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, on_png_error, on_png_warning);
  if (!png) {
    error = "cannot create the PNG writer";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    error = "cannot create the PNG header";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_rows(png, info, rows);
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool write_png_rgb(const std::string& path, const uint8_t* planar_rgb, unsigned width, unsigned height,
                   std::string& error) {
  if (width == 0 || height == 0) {
    error = "picture is empty";
    return false;
  }
  const size_t plane = size_t(width) * height;
  std::vector<uint8_t> pixels(3 * plane);
  for (size_t i = 0; i < plane; ++i) {
    pixels[3 * i] = planar_rgb[i];
    pixels[3 * i + 1] = planar_rgb[plane + i];
    pixels[3 * i + 2] = planar_rgb[2 * plane + i];
  }
  std::vector<png_bytep> rows(height);
  for (unsigned y = 0; y < height; ++y) rows[y] = pixels.data() + size_t(y) * width * 3;

  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!write_rows(file.get(), rows.data(), width, height, error)) return false;
  if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tt
