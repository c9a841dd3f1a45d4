// PCL raster as every PCL printer since the DeskJet 500 and the LaserJet III reads it: a reset,
// the page's size, the resolution, then rows in TIFF PackBits (compression mode 2, which PCL 3
// and PCL 5 printers both take), a form feed per page, and a reset at the end so the next job
// finds the printer as it was. Colour goes as three planes (cyan, magenta, yellow: ESC * r -3 U),
// the simple colour raster of PCL 3 that colour PCL 5 printers accept too.
//
// Rejected: compression mode 3 (delta row) and 9, which some PCL 3 printers lack; a PJL header
// (not every printer that speaks PCL has PJL, and the reset is enough for a raster job).
#include <cstdio>
#include <cstdlib>

#include "printerapp/printerapp.h"

namespace {

constexpr char ESC = '\x1b';

void command(std::string &out, const char *fmt, long value) {
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, fmt, value);
    out.push_back(ESC);
    out.append(buf, size_t(n));
}

}  // namespace

void pa_packbits(std::span<const uint8_t> row, std::string &out) {
    size_t i = 0;
    const size_t n = row.size();
    while (i < n) {
        // A run of three or more equal bytes goes as a repeat; shorter ones join a literal.
        size_t run = 1;
        while (i + run < n && run < 128 && row[i + run] == row[i])
            run++;
        if (run >= 3 || (run == 2 && i + 2 == n)) {
            out.push_back(char(257 - run));  // -(run - 1) as a signed byte
            out.push_back(char(row[i]));
            i += run;
            continue;
        }
        const size_t start = i;
        while (i < n && i - start < 128) {
            if (i + 2 < n && row[i] == row[i + 1] && row[i] == row[i + 2])
                break;
            i++;
        }
        out.push_back(char(i - start - 1));
        out.append(reinterpret_cast<const char *>(row.data() + start), i - start);
    }
}

int pa_pcl_page_size(int width_pt, int length_pt) {
    struct size { int w, l, pcl; };
    static constexpr size sizes[] = {
        {522, 756, 1},   // executive
        {612, 792, 2},   // letter
        {612, 1008, 3},  // legal
        {792, 1224, 6},  // ledger
        {420, 595, 25},  // A5
        {595, 842, 26},  // A4
        {842, 1191, 27}, // A3
        {279, 540, 80},  // monarch envelope
        {297, 684, 81},  // #10 envelope
        {312, 624, 90},  // DL envelope
        {459, 649, 91},  // C5 envelope
    };
    for (const size &s : sizes)
        if (std::abs(s.w - width_pt) <= 2 && std::abs(s.l - length_pt) <= 2)
            return s.pcl;
    return 0;
}

void pa_pcl_job_start(std::string &out) { out += "\x1b" "E"; }

void pa_pcl_page_start(std::string &out, int width_pt, int length_pt, int dpi, unsigned width,
                       int planes) {
    if (const int size = pa_pcl_page_size(width_pt, length_pt))
        command(out, "&l%ldA", size);
    command(out, "&l%ldO", 0);     // portrait: the raster is already turned
    command(out, "&l%ldE", 0);     // no top margin: the raster carries its own
    command(out, "&l%ldL", 0);     // no perforation skip
    command(out, "*t%ldR", dpi);
    command(out, "*r%ldS", long(width));
    if (planes == 3)
        command(out, "*r%ldU", -3);  // CMY planes
    out += "\x1b*p0x0Y";           // the raster starts at the page's corner
    command(out, "*r%ldA", 1);
    command(out, "*b%ldM", 2);     // TIFF PackBits
}

void pa_pcl_row(std::string &out, std::span<const uint8_t> packed, int planes) {
    bool blank = true;
    for (const uint8_t b : packed)
        blank = blank && b == 0;
    if (blank) {
        out += "\x1b*b0W";
        return;
    }
    const size_t plane_bytes = packed.size() / size_t(planes);
    std::string comp;
    for (int p = 0; p < planes; p++) {
        comp.clear();
        pa_packbits(packed.subspan(size_t(p) * plane_bytes, plane_bytes), comp);
        command(out, p + 1 < planes ? "*b%ldV" : "*b%ldW", long(comp.size()));
        out += comp;
    }
}

void pa_pcl_page_end(std::string &out) {
    out += "\x1b*rB";
    out += '\f';
}

void pa_pcl_job_end(std::string &out) { out += "\x1b" "E"; }
