// What tessal-client is made of: its command line (cli.cc) and the run of the commands
// (tessal_client.cc). Private to the command; programs use client/client.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/client.h"

inline constexpr const char *PROG = "tessal-client";
extern const char SYNOPSIS[];
extern const char HELP[];
inline constexpr uint64_t MAX_SECONDS = 2000000;  // keeps every time-out in milliseconds inside an int

enum class verb { init, reset, write, read, print, id };

struct command {
    verb what;
    std::string file;  // write/print: input ("-" is standard input); read: output ("" is stdout)
    uint64_t n = 0;    // read: bytes wanted
};

struct options {
    std::string host = TC_DEFAULT_HOST;
    uint16_t port = TC_DEFAULT_PORT;
    bool quiet = false;
    bool version = false;
    uint64_t timeout_s = 300, connect_timeout_s = 30, reply_timeout_s = 60;
    std::vector<command> commands;
};

/* cli.cc */
const char *verb_name(verb v);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints the problem and the usage line; returns the usage exit status, 2.
int usage_error(const std::string &problem);
// Returns 0 when the arguments make sense, 1 for --help or --version, else -1 with a usage
// problem in *problem.
int parse_args(int argc, char **argv, options &o, std::string *problem);
