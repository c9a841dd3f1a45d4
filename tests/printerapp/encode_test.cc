// The driver choice from a Device ID, and the printer languages' bytes: PackBits rows that
// decode to what went in, the exact PCL of a page and of a row, the ink planes from each raster
// type PAPPL hands over, and PostScript's hex lines.
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "printerapp/printerapp.h"

namespace {

struct id_case {
    const char *id;
    const char *driver;  // "" for none
};

class ChooseDriver : public testing::TestWithParam<id_case> {};

TEST_P(ChooseDriver, FromTheCommandSet) {
    const id_case &c = GetParam();
    EXPECT_STREQ(pa_choose_driver(tc_parse_device_id(c.id), c.id).driver, c.driver) << c.id;
}

INSTANTIATE_TEST_SUITE_P(
    Ids, ChooseDriver,
    testing::Values(id_case{"MFG:Tessaline;MDL:MFP-1284 Sim;CMD:PCL,PJL;CLS:PRINTER;", PA_DRIVER_PCL},
                    id_case{"MFG:HP;MDL:LaserJet 4;CMD:PJL,PCL5E;", PA_DRIVER_PCL},
                    id_case{"MFG:HP;MDL:Color LaserJet 4500;CMD:PJL,PCL5C,PCLXL,POSTSCRIPT;", PA_DRIVER_PCL_COLOR},
                    id_case{"command set : pcl3gui , mlc ;MFG:HP;", PA_DRIVER_PCL_COLOR},
                    id_case{"MFG:Acme;MDL:L1;CMD:PCL;COLOR:YES;", PA_DRIVER_PCL_COLOR},
                    id_case{"MFG:HP;MDL:LaserJet P1;CMD:PJL,PCLXL,PCL6;", ""},  // PCL 6 is not PCL raster
                    id_case{"MFG:Acme;MDL:PS-1;CMD:POSTSCRIPT,PJL;", PA_DRIVER_PS},
                    id_case{"MFG:Acme;MDL:PS-2;CMD:PS;CLS:COLOR PRINTER;", PA_DRIVER_PS_COLOR},
                    id_case{"MFG:Epson;MDL:Stylus;CMD:ESCPL2,BDC;", ""},
                    id_case{"MFG:Acme;MDL:Phone;CMD:PCLM,URF;", ""},  // PCLm is not PCL either
                    id_case{"MFG:Acme;MDL:Nothing;", ""}));

// PackBits as a printer decodes it; false on a stream that runs past its end.
bool unpack(const std::string &in, std::vector<uint8_t> &out) {
    out.clear();
    for (size_t i = 0; i < in.size();) {
        const int n = int(int8_t(in[i++]));
        if (n >= 0) {
            if (i + size_t(n) + 1 > in.size())
                return false;
            out.insert(out.end(), in.begin() + long(i), in.begin() + long(i) + n + 1);
            i += size_t(n) + 1;
        } else if (n != -128) {
            if (i >= in.size())
                return false;
            out.insert(out.end(), size_t(1 - n), uint8_t(in[i++]));
        }
    }
    return true;
}

TEST(PackBits, KnownRows) {
    const struct {
        std::vector<uint8_t> row;
        std::string packed;
    } cases[] = {
        {{0xAA, 0xAA, 0xAA, 0x80, 0x00, 0x2A, 0xAA, 0xAA, 0xAA, 0xAA},
         std::string("\xFE\xAA\x02\x80\x00\x2A\xFD\xAA", 8)},  // Apple's own example
        {{0x01}, std::string("\x00\x01", 2)},
        {{0x05, 0x05}, std::string("\xFF\x05", 2)},
        {std::vector<uint8_t>(130, 0), std::string("\x81\x00\xFF\x00", 4)},  // 128 + 2
    };
    for (const auto &c : cases) {
        std::string out;
        pa_packbits(c.row, out);
        EXPECT_EQ(out, c.packed);
    }
}

TEST(PackBits, AnyRowDecodesToItselfWithinTheBound) {
    std::mt19937 rng(1284);
    for (int round = 0; round < 400; round++) {
        std::vector<uint8_t> row(rng() % 700);
        const unsigned alphabet = 1 + rng() % 4;  // few values: runs of every length
        for (uint8_t &b : row)
            b = uint8_t(rng() % alphabet * 0x55);
        std::string packed;
        pa_packbits(row, packed);
        std::vector<uint8_t> back;
        ASSERT_TRUE(unpack(packed, back));
        ASSERT_EQ(back, row);
        ASSERT_LE(packed.size(), row.size() + (row.size() + 127) / 128);
    }
}

TEST(Pcl, PageStartForLetterAt300Dpi) {
    std::string out;
    pa_pcl_job_start(out);
    pa_pcl_page_start(out, 612, 792, 300, 2550, 1);
    EXPECT_EQ(out, "\x1b" "E\x1b&l2A\x1b&l0O\x1b&l0E\x1b&l0L\x1b*t300R\x1b*r2550S\x1b*p0x0Y\x1b*r1A\x1b*b2M");
    out.clear();
    pa_pcl_page_start(out, 595, 842, 600, 4960, 3);
    EXPECT_NE(out.find("\x1b&l26A"), std::string::npos);  // A4
    EXPECT_NE(out.find("\x1b*r-3U\x1b*p0x0Y"), std::string::npos);  // CMY before the raster starts
    out.clear();
    pa_pcl_page_start(out, 300, 300, 300, 100, 1);  // no PCL number for the size: none sent
    EXPECT_TRUE(out.starts_with("\x1b&l0O"));
}

TEST(Pcl, RowsBlankPlanedAndEnded) {
    std::string out;
    pa_pcl_row(out, std::vector<uint8_t>(6, 0), 3);
    EXPECT_EQ(out, "\x1b*b0W");
    out.clear();
    pa_pcl_row(out, std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0, 0, 0x01}, 3);
    EXPECT_EQ(out, std::string("\x1b*b2V\xFF\xFF\x1b*b3V\x01\xFF\x00\x1b*b3W\x01\x00\x01", 23));
    out.clear();
    pa_pcl_page_end(out);
    pa_pcl_job_end(out);
    EXPECT_EQ(out, "\x1b*rB\f\x1b" "E");
}

TEST(Dither, EachRasterTypeToInk) {
    unsigned char matrix[16][16];
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++)
            matrix[y][x] = 127;
    std::vector<uint8_t> ink;
    // sGray 8: 0 is black.
    pa_line_to_planes(std::vector<uint8_t>{0, 255, 0, 255, 200, 10, 255, 0, 0}, 9, 8, CUPS_CSPACE_SW, 1, 0, matrix, ink);
    EXPECT_EQ(ink, (std::vector<uint8_t>{0xA5, 0x80}));
    // Black 8: 255 is black.
    pa_line_to_planes(std::vector<uint8_t>{255, 0, 0, 0, 0, 0, 0, 200}, 8, 8, CUPS_CSPACE_K, 1, 0, matrix, ink);
    EXPECT_EQ(ink, (std::vector<uint8_t>{0x81}));
    // Black 1: the bits as they are, nothing past the width.
    pa_line_to_planes(std::vector<uint8_t>{0x5A, 0xFF}, 12, 1, CUPS_CSPACE_K, 1, 0, matrix, ink);
    EXPECT_EQ(ink, (std::vector<uint8_t>{0x5A, 0xF0}));
    // sRGB to CMY planes: red is magenta and yellow, white is nothing, black all three.
    pa_line_to_planes(std::vector<uint8_t>{255, 0, 0, 255, 255, 255, 0, 0, 0}, 3, 24, CUPS_CSPACE_SRGB, 3, 0,
                      matrix, ink);
    EXPECT_EQ(ink, (std::vector<uint8_t>{0x20, 0xA0, 0xA0}));
    // sRGB to black alone, by the eye's weights: yellow is light, blue and dark gray are black.
    pa_line_to_planes(std::vector<uint8_t>{255, 255, 0, 0, 0, 255, 40, 40, 40}, 3, 24, CUPS_CSPACE_SRGB, 1, 0,
                      matrix, ink);
    EXPECT_EQ(ink, (std::vector<uint8_t>{0x60}));
}

TEST(PostScript, HexLinesUnderEightyColumnsAndAPageThatStandsAlone) {
    std::string out;
    pa_ps_row(out, std::vector<uint8_t>(40, 0xAB));
    std::string line;
    for (int i = 0; i < 39; i++)
        line += "ab";
    EXPECT_EQ(out, line + "\nab\n");
    out.clear();
    pa_ps_page_start(out, 1, 612, 792, 2550, 3300, 1, 1, true);
    EXPECT_NE(out.find("%%Page: 1 1\n<< /PageSize [612.00 792.00] >> setpagedevice\ngsave\n"), std::string::npos);
    EXPECT_NE(out.find("/Width 2550 /Height 3300 /BitsPerComponent 1 /Decode [1 0]"), std::string::npos);
    EXPECT_NE(out.find("/ImageMatrix [2550 0 0 -3300 0 3300]"), std::string::npos);
}

}  // namespace
