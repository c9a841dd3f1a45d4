// PostScript for a raster page: the page is one image filling the sheet, its samples in ASCIIHex
// so that any channel, 7-bit or not, carries it, and every page stands alone (its own
// setpagedevice, gsave and showpage) so a printer that loses one page still prints the rest.
//
// Rejected: ASCII85 and a binary image (smaller, but ASCII85 needs Level 2 decoders some clones
// get wrong, and binary data is not safe through every PostScript interpreter's channel).
#include <cstdio>

#include "printerapp/printerapp.h"

namespace {

void appendf(std::string &out, const char *fmt, auto... args) {
    char buf[512];
    const int n = std::snprintf(buf, sizeof buf, fmt, args...);
    out.append(buf, size_t(n));
}

}  // namespace

void pa_ps_job_start(std::string &out) {
    out += "%!PS-Adobe-3.0\n%%Creator: tessal-printer-app\n%%Pages: (atend)\n%%EndComments\n";
}

void pa_ps_page_start(std::string &out, unsigned page, double width_pt, double length_pt,
                      unsigned width, unsigned height, int bits, int colors, bool black_is_one) {
    appendf(out, "%%%%Page: %u %u\n", page, page);
    appendf(out, "<< /PageSize [%.2f %.2f] >> setpagedevice\n", width_pt, length_pt);
    out += "gsave\n";
    appendf(out, "%.2f %.2f scale\n", width_pt, length_pt);
    out += colors == 3 ? "/DeviceRGB setcolorspace\n" : "/DeviceGray setcolorspace\n";
    const char *decode = colors == 3 ? "[0 1 0 1 0 1]" : black_is_one ? "[1 0]" : "[0 1]";
    appendf(out,
            "<< /ImageType 1 /Width %u /Height %u /BitsPerComponent %d /Decode %s\n"
            "   /ImageMatrix [%u 0 0 -%u 0 %u] /DataSource currentfile /ASCIIHexDecode filter >>\n"
            "image\n",
            width, height, bits, decode, width, height, height);
}

void pa_ps_row(std::string &out, std::span<const uint8_t> row) {
    static constexpr char hex[] = "0123456789abcdef";
    size_t col = 0;
    for (const uint8_t b : row) {
        out += hex[b >> 4];
        out += hex[b & 15];
        if (++col == 39) {  // lines under 80 columns, as DSC asks
            out += '\n';
            col = 0;
        }
    }
    out += '\n';
}

void pa_ps_page_end(std::string &out) { out += ">\ngrestore\nshowpage\n"; }

void pa_ps_job_end(std::string &out, unsigned pages) {
    appendf(out, "%%%%Trailer\n%%%%Pages: %u\n%%%%EOF\n", pages);
}
