#include "common/png_file.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zyl::tools {

bool WritePng(const std::string& path, const std::uint8_t* pixels, std::uint32_t width,
              std::uint32_t height, int planes, std::string& error) {
    int colour;
    switch (planes) {
        case 1:
            colour = PNG_COLOR_TYPE_GRAY;
            break;
        case 3:
            colour = PNG_COLOR_TYPE_RGB;
            break;
        case 4:
            colour = PNG_COLOR_TYPE_RGB_ALPHA;
            break;
        default:
            error = path + ": no PNG form for " + std::to_string(planes) + " planes";
            return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        std::fclose(file);
        error = path + ": out of memory";
        return false;
    }
    std::vector<png_bytep> rows(height);
    // libpng reports errors by longjmp; nothing with a destructor is created after this point.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        error = path + ": cannot write the PNG file";
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, colour, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(width) * static_cast<std::size_t>(planes);
    for (std::uint32_t y = 0; y < height; ++y)
        rows[y] = const_cast<png_bytep>(pixels + y * stride);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace zyl::tools
