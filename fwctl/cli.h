#ifndef FWCTL_CLI_H
#define FWCTL_CLI_H

// The command line of qmx4-fwctl on CLI11: the commands, the options each
// takes (their descriptions are the help texts), and the parse that fills
// the commands' Options from the arguments.

#include "commands.h"

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace fwctl {
namespace cli {

// What a command takes besides BASE, -h/--help and its description.
enum Takes : unsigned {
    Format = 1,   // --table, --tsv, --json
    Strict = 2,   // --strict
    Lock = 4,     // --lock-dir, --wait
    Index = 8,    // --index
    UserId = 16,  // INDEX TEXT
    Output = 32,  // --output
    Generic = 64, // --generic
    Record = 128, // --record, --no-lock
    Shell = 256,  // SHELL, in place of BASE
    Library = 512, // --library
    History = 1024, // --type, --since, --failed
};

struct Command {
    const char* name;
    const char* summary;     // one line, in the list of commands
    const char* description; // the rest of its --help, after the options
    unsigned takes;
    int (*run)(const Options&, std::ostream&, std::ostream&);
};

// The commands, with their help texts (help.cpp).
extern const Command commands[];
extern const size_t commandCount;
extern const char* const usage;       // the line a wrong command line gets
extern const char* const description; // of the program, in its --help
extern const char* const footer;

// What a command line asks for: a command to run with its options, or
// nothing more to do (help or version printed, or a wrong command line
// refused with its message and the usage on `err`) with `status`.
struct Parsed {
    const Command* command = nullptr;
    Options options;
    int status = 0;
};

// Parses the arguments after the program's name. Options may come before
// the command or after it, as --name VALUE or --name=VALUE; "--" ends them.
// `terminal` makes tables the default format. Help and the version go to
// `out`, refusals to `err`.
Parsed parse(const std::vector<std::string>& args, bool terminal, std::ostream& out, std::ostream& err);

// A bash completion script made from the commands and options parse takes:
// the commands, each command's options, directories for DIR (the base
// directory, --lock-dir) and files for FILE (--output).
std::string bashCompletion();

} // namespace cli
} // namespace fwctl

#endif
