// The drivers: what PAPPL is told about a printer of each language (resolutions, raster types,
// colour, media), the raster callbacks that turn PAPPL's lines into PCL or PostScript, the
// pass-through of documents already in the printer's language, and the choice of driver for a
// printer found by its Device ID.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "packaging/cups/backend.h"
#include "printerapp/glue.h"

pappl_pr_driver_t pa_drivers[4] = {
    {PA_DRIVER_PCL, "PCL raster, black (tessal)", "CMD:PCL;", nullptr},
    {PA_DRIVER_PCL_COLOR, "PCL raster, colour (tessal)", "CMD:PCL5C;", nullptr},
    {PA_DRIVER_PS, "PostScript, grayscale (tessal)", "CMD:POSTSCRIPT;", nullptr},
    {PA_DRIVER_PS_COLOR, "PostScript, colour (tessal)", "CMD:POSTSCRIPT;CLS:COLOR;", nullptr},
};

namespace {

// What a raster job keeps between PAPPL's calls.
struct raster_job {
    pa_language language = pa_language::pcl;
    int planes = 1;
    unsigned width = 0, height = 0, lines = 0, pages = 0;
    std::string out;
    std::vector<uint8_t> ink;
};

// Sends what has gathered; PAPPL's device layer buffers below this too.
bool flush(raster_job &r, pappl_device_t *device, bool all) {
    if (r.out.empty() || (!all && r.out.size() < 65536))
        return true;
    const bool ok = papplDeviceWrite(device, r.out.data(), r.out.size()) >= 0;
    r.out.clear();
    return ok;
}

raster_job &job_data(pappl_job_t *job) { return *static_cast<raster_job *>(papplJobGetData(job)); }

// One start per language, so no callback needs the printer (whose lock PAPPL holds meanwhile).
template <pa_language L>
bool rstartjob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device) {
    auto *r = new raster_job;
    r->language = L;
    papplJobSetData(job, r);
    if (r->language == pa_language::postscript)
        pa_ps_job_start(r->out);
    else
        pa_pcl_job_start(r->out);
    return flush(*r, device, false);
}

bool rstartpage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page) {
    raster_job &r = job_data(job);
    const auto &h = options->header;
    r.width = h.cupsWidth;
    r.height = h.cupsHeight;
    r.lines = 0;
    r.pages++;
    const bool rgb = h.cupsBitsPerPixel == 24;
    if (r.language == pa_language::postscript) {
        const int bits = h.cupsBitsPerPixel == 1 ? 1 : 8;
        pa_ps_page_start(r.out, page + 1, h.PageSize[0], h.PageSize[1], h.cupsWidth, h.cupsHeight, bits,
                         rgb ? 3 : 1, h.cupsColorSpace == CUPS_CSPACE_K);
    } else {
        r.planes = rgb ? 3 : 1;
        pa_pcl_page_start(r.out, int(h.PageSize[0]), int(h.PageSize[1]), int(h.HWResolution[1]),
                          h.cupsWidth, r.planes);
    }
    return flush(r, device, false);
}

bool rwriteline(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned y,
                const unsigned char *line) {
    raster_job &r = job_data(job);
    const auto &h = options->header;
    if (r.lines >= r.height)
        return true;
    r.lines++;
    const std::span<const uint8_t> row(line, h.cupsBytesPerLine);
    if (r.language == pa_language::postscript) {
        pa_ps_row(r.out, row.first(std::min<size_t>(row.size(), (size_t(r.width) * h.cupsBitsPerPixel + 7) / 8)));
    } else {
        pa_line_to_planes(row, r.width, h.cupsBitsPerPixel, h.cupsColorSpace, r.planes, y, options->dither,
                          r.ink);
        pa_pcl_row(r.out, r.ink, r.planes);
    }
    return flush(r, device, false);
}

bool rendpage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned) {
    raster_job &r = job_data(job);
    if (r.language == pa_language::postscript) {
        // The image reads exactly its height in samples: a short page is made up in white, so
        // the page's end is never taken for image data.
        const auto &h = options->header;
        const size_t bytes = (size_t(r.width) * h.cupsBitsPerPixel + 7) / 8;
        const uint8_t white = h.cupsColorSpace == CUPS_CSPACE_K ? 0x00 : 0xFF;
        const std::vector<uint8_t> blank(bytes, white);
        for (; r.lines < r.height; r.lines++)
            pa_ps_row(r.out, blank);
        pa_ps_page_end(r.out);
    } else {
        pa_pcl_page_end(r.out);
    }
    return flush(r, device, true);
}

bool rendjob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device) {
    std::unique_ptr<raster_job> r(&job_data(job));
    papplJobSetData(job, nullptr);
    if (r->language == pa_language::postscript)
        pa_ps_job_end(r->out, r->pages);
    else
        pa_pcl_job_end(r->out);
    const bool ok = flush(*r, device, true);
    papplDeviceFlush(device);
    return ok;
}

bool printfile(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device) {
    return pa_copy_file(job, device);
}

bool copy_filter(pappl_job_t *job, pappl_device_t *device, void *) { return pa_copy_file(job, device); }

// A test page in the printer's own language, so it prints whatever the raster path does.
const char *testpage(pappl_printer_t *printer, char *buffer, size_t bufsize) {
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    const bool ps = pa_driver_by_name(papplPrinterGetDriverName(printer)).language == pa_language::postscript;
    std::string path = pa_spool_dir() + "/tessal-testpage-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        return nullptr;
    std::string text;
    const std::string title = std::string("tessal-printer-app test page: ") + data.make_and_model +
                              " on " + papplPrinterGetDeviceURI(printer);
    if (ps) {
        std::string safe;
        for (const char c : title)
            if (c != '(' && c != ')' && c != '\\')
                safe += c;
        text = "%!PS-Adobe-3.0\n%%Pages: 1\n%%EndComments\n%%Page: 1 1\n/Helvetica findfont 12 scalefont setfont\n"
               "72 720 moveto (" + safe + ") show\nshowpage\n%%EOF\n";
    } else {
        text = "\x1b" "E" + title + "\r\n\f\x1b" "E";
    }
    const bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    if (!ok) {
        unlink(path.c_str());
        return nullptr;
    }
    std::snprintf(buffer, bufsize, "%s", path.c_str());
    return buffer;
}

void add_media(pappl_pr_driver_data_t *d) {
    static const char *const media[] = {"na_letter_8.5x11in", "na_legal_8.5x14in", "na_executive_7.25x10.5in",
                                        "iso_a4_210x297mm", "iso_a5_148x210mm", "na_number-10_4.125x9.5in",
                                        "iso_dl_110x220mm"};
    d->num_media = int(sizeof media / sizeof media[0]);
    for (int i = 0; i < d->num_media; i++)
        d->media[i] = media[i];
    d->left_right = 635;  // a quarter inch: what most PCL and PostScript printers cannot reach
    d->bottom_top = 423;
    d->num_source = 1;
    d->source[0] = "main";
    d->num_type = 1;
    d->type[0] = "stationery";
    pappl_media_col_t &m = d->media_ready[0];
    std::snprintf(m.size_name, sizeof m.size_name, "%s", "iso_a4_210x297mm");
    if (const pwg_media_t *pwg = pwgMediaForPWG(m.size_name)) {
        m.size_width = pwg->width;
        m.size_length = pwg->length;
    }
    m.bottom_margin = m.top_margin = d->bottom_top;
    m.left_margin = m.right_margin = d->left_right;
    std::snprintf(m.source, sizeof m.source, "%s", "main");
    std::snprintf(m.type, sizeof m.type, "%s", "stationery");
    d->media_default = m;
}

const char *detect_format(const unsigned char *header, size_t size, void *) {
    if (size >= 2 && header[0] == '%' && header[1] == '!')
        return "application/postscript";
    if (size >= 1 && header[0] == 0x1b)
        return "application/vnd.hp-PCL";
    return nullptr;
}

}  // namespace

bool pa_copy_file(pappl_job_t *job, pappl_device_t *device) {
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "cannot open the document: %s", strerror(errno));
        return false;
    }
    char buf[65536];
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(fd, buf, sizeof buf)) > 0 && !papplJobIsCanceled(job))
        ok = papplDeviceWrite(device, buf, size_t(n)) >= 0;
    if (n < 0)
        ok = false;
    close(fd);
    papplDeviceFlush(device);
    papplJobSetImpressions(job, 1);
    papplJobSetImpressionsCompleted(job, 1);
    return ok;
}

void pa_add_passthrough_filters(pappl_system_t *system) {
    // application/octet-stream is whatever the client says is ready for the printer.
    papplSystemAddMIMEFilter(system, "application/octet-stream", "application/vnd.hp-PCL", copy_filter, nullptr);
    papplSystemAddMIMEFilter(system, "application/octet-stream", "application/postscript", copy_filter, nullptr);
    papplSystemSetMIMECallback(system, detect_format, nullptr);
}

bool pa_driver_cb(pappl_system_t *, const char *driver_name, const char *device_uri, const char *device_id,
                  pappl_pr_driver_data_t *d, ipp_t **, void *) {
    const pa_driver_choice c = pa_driver_by_name(driver_name ? driver_name : "");
    if (c.language == pa_language::none)
        return false;
    const bool ps = c.language == pa_language::postscript;
    d->printfile_cb = printfile;
    d->rstartjob_cb = ps ? rstartjob<pa_language::postscript> : rstartjob<pa_language::pcl>;
    d->rstartpage_cb = rstartpage;
    d->rwriteline_cb = rwriteline;
    d->rendpage_cb = rendpage;
    d->rendjob_cb = rendjob;
    d->testpage_cb = testpage;
    d->format = ps ? "application/postscript" : "application/vnd.hp-PCL";
    const tc_id_fields f = tc_parse_device_id(device_id ? device_id : "");
    std::string name = (f.manufacturer.empty() && f.model.empty()) ? "" : make_and_model(f);
    if (name.empty())
        name = ps ? "Generic PostScript printer" : "Generic PCL printer";
    std::snprintf(d->make_and_model, sizeof d->make_and_model, "%s", name.c_str());
    d->ppm = 10;
    d->ppm_color = c.color ? 4 : 0;
    d->kind = PAPPL_KIND_DOCUMENT;
    d->orient_default = IPP_ORIENT_NONE;
    d->quality_default = IPP_QUALITY_NORMAL;
    d->num_resolution = 2;
    d->x_resolution[0] = d->y_resolution[0] = 300;
    d->x_resolution[1] = d->y_resolution[1] = 600;
    d->x_default = d->y_default = 300;
    d->raster_types = pappl_raster_type_t(PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_BLACK_8 |
                                          PAPPL_PWG_RASTER_TYPE_SGRAY_8);
    d->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
    d->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    if (c.color) {
        d->raster_types = pappl_raster_type_t(d->raster_types | PAPPL_PWG_RASTER_TYPE_SRGB_8);
        d->color_supported = pappl_color_mode_t(PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_AUTO_MONOCHROME |
                                                PAPPL_COLOR_MODE_COLOR | PAPPL_COLOR_MODE_MONOCHROME);
        d->color_default = PAPPL_COLOR_MODE_AUTO;
    }
    d->sides_supported = PAPPL_SIDES_ONE_SIDED;
    d->sides_default = PAPPL_SIDES_ONE_SIDED;
    add_media(d);
    papplLog(pa_system(), PAPPL_LOGLEVEL_INFO, "%s: driver %s for '%s'", device_uri ? device_uri : "-",
             driver_name, name.c_str());
    return true;
}

pa_driver_choice pa_choice_for(const std::string &uri, const std::string &id, std::string &note) {
    const tc_id_fields f = tc_parse_device_id(id);
    const pa_driver_choice c = pa_choose_driver(f, id);
    if (c.language == pa_language::none)
        note = "the Device ID names no printer language tessal-printer-app drives (command set " +
               (f.command_set.empty() ? std::string("none") : clean_text(f.command_set)) +
               "; PCL and PostScript are driven): choose a driver on the web page";
    else
        note = std::string("driver ") + c.driver + " from the command set " + clean_text(f.command_set);
    pa_device_note_choice(uri, c, note);
    return c;
}

const char *pa_autoadd_cb(const char *, const char *device_uri, const char *device_id, void *) {
    std::string note;
    const pa_driver_choice c = pa_choice_for(device_uri ? device_uri : "", device_id ? device_id : "", note);
    papplLog(pa_system(), c.language == pa_language::none ? PAPPL_LOGLEVEL_ERROR : PAPPL_LOGLEVEL_INFO, "%s: %s",
             device_uri ? device_uri : "-", note.c_str());
    return c.language == pa_language::none ? nullptr : c.driver;
}
