// What the PAPPL glue files share: the system the app runs, and the log lines that reach PAPPL's
// log (the app's only log; nothing here writes to the terminal on its own).
#pragma once

#include <pappl/pappl.h>

#include "printerapp/printerapp.h"

/* main.cc */
// The running system, set once before any printer or device callback can run.
pappl_system_t *pa_system();
// Where jobs and test pages are spooled.
const std::string &pa_spool_dir();
// The command whose output the tessal page shows for a daemon on this machine.
const std::string &pa_status_command();

/* device.cc */
// Starts the thread that carries each device's busy and offline state to the printers on it
// (printer-state-reasons "other" and "offline", and the waiting job's message); once.
void pa_device_start_updates(pappl_system_t *system);

/* drivers.cc */
// The driver list handed to papplMainloop, and the callbacks that fill a driver's data.
extern pappl_pr_driver_t pa_drivers[4];
bool pa_driver_cb(pappl_system_t *system, const char *driver_name, const char *device_uri,
                  const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs, void *cbdata);
// The driver for a device's ID and the line that says why, recorded for the tessal page.
pa_driver_choice pa_choice_for(const std::string &uri, const std::string &id, std::string &note);
const char *pa_autoadd_cb(const char *device_info, const char *device_uri, const char *device_id,
                          void *data);
// Pass-through: the job's file to the printer untouched.
bool pa_copy_file(pappl_job_t *job, pappl_device_t *device);
void pa_add_passthrough_filters(pappl_system_t *system);

/* web.cc */
// The tessal page: what the app knows of each daemon and printer, linked from PAPPL's pages.
void pa_web_register(pappl_system_t *system);
void pa_web_add_printer_link(pappl_printer_t *printer);
