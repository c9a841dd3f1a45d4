// tessal-printer-app: the MFP behind a tessal daemon served as an IPP Everywhere printer, so
// phones, tablets and desktops print to it with no driver of their own.
//
// PAPPL does the IPP server, the job queue, DNS-SD, the web interface and the command line
// (papplMainloop); this program adds what PAPPL cannot know: how to reach the printer (the
// tessal:// device scheme over the client library, so the app runs on the daemon's machine or on
// any other) and how to speak to it (a PCL raster driver and a PostScript one, chosen from the
// command set of the printer's IEEE 1284 Device ID, and pass-through of documents already in the
// printer's language).
//
// The printer languages are written by pure encoders (pa_pcl_..., pa_ps_...) that append bytes to
// a string, so tests check the exact bytes without PAPPL; main.cc, device.cc, drivers.cc and
// web.cc are the glue to PAPPL (glue.h).
//
// Rejected: a CUPS filter chain inside the app (PAPPL already turns PWG raster, Apple raster,
// JPEG and PNG into lines, and a Printer Application must not depend on a PPD); guessing a
// language for a printer whose Device ID names none we drive (a wrong guess prints pages of
// garbage; the log and the tessal page say so and the owner picks a driver).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/client.h"

// The printer languages the app drives, from the Device ID's command set.
enum class pa_language { none, pcl, postscript };

struct pa_driver_choice {
    pa_language language = pa_language::none;
    bool color = false;        // the ID says the printer prints colour
    const char *driver = "";   // the PAPPL driver name, "" for none
};

/* choose.cc */
// The driver for a Device ID: PCL when the command set names PCL (any level: PCL, PCL3, PCL5,
// PCL5C, PCLXL is not PCL raster and is left out), else PostScript when it names POSTSCRIPT or
// PS; colour when the command set names a colour PCL (PCL5C, PCL3GUI), the ID's class or model
// says COLOR/COLOUR, or a "COLOR" key says so. None when nothing usable is named.
pa_driver_choice pa_choose_driver(const tc_id_fields &f, std::string_view raw_id);
// The PAPPL driver names and their descriptions, in the order papplMainloop lists them.
inline constexpr const char *PA_DRIVER_PCL = "tessal_pcl";
inline constexpr const char *PA_DRIVER_PCL_COLOR = "tessal_pcl_color";
inline constexpr const char *PA_DRIVER_PS = "tessal_ps";
inline constexpr const char *PA_DRIVER_PS_COLOR = "tessal_ps_color";
pa_driver_choice pa_driver_by_name(std::string_view name);

/* pcl.cc */
// TIFF PackBits (PCL compression mode 2) of one row.
void pa_packbits(std::span<const uint8_t> row, std::string &out);
// Page sizes PCL names by number (ESC & l # A); 0 when the size has no PCL number.
int pa_pcl_page_size(int width_pt, int length_pt);
void pa_pcl_job_start(std::string &out);
// Raster graphics for a page of width x height pixels at dpi, with 1 plane (black) or 3 (CMY).
void pa_pcl_page_start(std::string &out, int width_pt, int length_pt, int dpi, unsigned width,
                       int planes);
// One row: `planes` rows of packed bits, each (width + 7) / 8 bytes, the last plane ending the
// row. An all-blank row is sent as an empty transfer.
void pa_pcl_row(std::string &out, std::span<const uint8_t> packed, int planes);
void pa_pcl_page_end(std::string &out);
void pa_pcl_job_end(std::string &out);

/* ps.cc */
void pa_ps_job_start(std::string &out);
// An image of width x height pixels filling width_pt x length_pt points: gray (1 or 8 bits, dark
// when `black_is_one`) or RGB (8 bits each), in ASCIIHex.
void pa_ps_page_start(std::string &out, unsigned page, double width_pt, double length_pt,
                      unsigned width, unsigned height, int bits, int colors, bool black_is_one);
void pa_ps_row(std::string &out, std::span<const uint8_t> row);
void pa_ps_page_end(std::string &out);
void pa_ps_job_end(std::string &out, unsigned pages);

/* dither.cc */
// One line of the raster PAPPL hands a driver, as packed bits of ink: black (1 plane) or C, M, Y
// (3 planes, each (width + 7) / 8 bytes, one after the other). `bits` and `colorspace` are the
// page header's cupsBitsPerPixel and cupsColorSpace; `matrix` is the job's 16x16 dither array.
void pa_line_to_planes(std::span<const uint8_t> line, unsigned width, unsigned bits,
                       unsigned colorspace, int planes, unsigned y,
                       const unsigned char (*matrix)[16], std::vector<uint8_t> &out);

/* device.cc */
// What the tessal:// devices have seen, for the log, the printer's state and the tessal page:
// one record per device URI, kept while the app runs.
struct pa_device_state {
    std::string uri;
    std::string device_id;        // as the printer sent it, control bytes left out
    std::string last_error;       // why the last open, write or read failed; "" once one works
    uint32_t last_fail = 0;       // the last INIT FAIL reason, MSG_FAIL_... (0: none)
    bool offline = false;         // no daemon, or no printer behind it
    bool busy = false;            // waiting while another client holds the port
    uint64_t bytes_written = 0;   // since the app started
    uint64_t jobs = 0;            // devices opened for output
    int64_t last_use = 0;         // time(2) of the last open
    pa_driver_choice choice;      // from the Device ID
    std::string choice_note;      // what the log said about the choice
};
void pa_device_register();
// A copy of every device's record, in the order they were first seen.
std::vector<pa_device_state> pa_device_states();
// Asks the daemon for the printer's Device ID with a short connect time-out (for auto-adding and
// the tessal page) and records what came; false with `why` when it could not be had.
bool pa_device_query(const std::string &uri, std::string &device_id, std::string &why);
// Records the driver chosen for a device URI, or why none was.
void pa_device_note_choice(const std::string &uri, const pa_driver_choice &c, const std::string &note);
// The daemons DNS-SD and the local machine offer, as tessal:// URIs with a description and, for
// those found by DNS-SD whose records carry it, the Device ID.
struct pa_found {
    std::string uri, info, device_id;
};
std::vector<pa_found> pa_find_daemons();
