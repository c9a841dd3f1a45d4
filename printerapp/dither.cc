// From the lines PAPPL hands a driver to the bits of ink a PCL printer takes. PAPPL delivers the
// raster in the type the client sent or PAPPL chose (1-bit black, 8-bit black, 8-bit sGray or
// 24-bit sRGB, per the page header), so each is turned into ink here with the job's dither array:
// a pixel is inked when its ink level is above the array's threshold at its place.
#include <cups/raster.h>

#include "printerapp/printerapp.h"

namespace {

inline void set_bit(uint8_t *plane, unsigned x) { plane[x >> 3] |= uint8_t(0x80 >> (x & 7)); }

}  // namespace

void pa_line_to_planes(std::span<const uint8_t> line, unsigned width, unsigned bits,
                       unsigned colorspace, int planes, unsigned y,
                       const unsigned char (*matrix)[16], std::vector<uint8_t> &out) {
    const size_t plane_bytes = (width + 7) / 8;
    out.assign(plane_bytes * size_t(planes), 0);
    const unsigned char *row = matrix[y & 15];
    const bool black_is_high = colorspace == CUPS_CSPACE_K;  // K: 255 ink; sGray: 0 ink
    for (unsigned x = 0; x < width; x++) {
        int ink[3] = {0, 0, 0};  // C, M, Y; black is all three
        if (bits == 1) {
            if (size_t(x >> 3) >= line.size())
                break;
            const bool on = (line[x >> 3] >> (7 - (x & 7))) & 1;
            const int k = (on == black_is_high) ? 255 : 0;
            ink[0] = ink[1] = ink[2] = k;
        } else if (bits == 8) {
            if (x >= line.size())
                break;
            const int k = black_is_high ? line[x] : 255 - line[x];
            ink[0] = ink[1] = ink[2] = k;
        } else if (bits == 24) {
            if (size_t(x) * 3 + 2 >= line.size())
                break;
            for (int c = 0; c < 3; c++)
                ink[c] = 255 - line[size_t(x) * 3 + size_t(c)];
        }
        const int threshold = row[x & 15];
        if (planes == 1) {
            // Black from colour by the eye's weights, so coloured text stays legible.
            const int k = (ink[0] * 30 + ink[1] * 59 + ink[2] * 11) / 100;
            if (k > threshold)
                set_bit(out.data(), x);
        } else {
            for (int c = 0; c < 3; c++)
                if (ink[c] > threshold)
                    set_bit(out.data() + size_t(c) * plane_bytes, x);
        }
    }
}
