// What qmx4-fwctl says of itself and of each command in --help, beside the
// options' own descriptions (cli.cpp).

#include "cli.h"

#include "commands.h"

namespace fwctl {
namespace cli {

const char* const usage =
    "usage: qmx4-fwctl {check|list|info|set-user-id|rules|metrics|doctor|completion} [options] [BASE]; qmx4-fwctl [command] "
    "--help";

const char* const description =
    "The administrator's companion to qmx4-fwload. BASE is the base directory\n"
    "whose data/service.xml is read (default " QMX4_BASE_DIR ", where the\n"
    "units run passes; give . for the working directory); a configuration\n"
    "qmx4-fwload refuses is refused with its text.\n"
    "Options may come before or after the command.";

const char* const footer = "'qmx4-fwctl <command> --help' describes a command; qmx4-fwctl(8) all of them.";

const Command commands[] = {
    {"check", "explain the configuration: what is wrong, what is not read",
     "Explains BASE/data/service.xml as qmx4-fwload reads it. A file it refuses\n"
     "is refused with its text on standard error. Every entry gets its name, ids\n"
     "in hex and decimal, type, firmware path, and \"ok\" or what keeps a pass\n"
     "from serving it: why the entry is invalid, a firmware file that is\n"
     "missing, no regular file, unreadable or empty, ids that cannot be USB ids,\n"
     "or an earlier entry with the same ids. Warnings (standard error) name what\n"
     "the program reads differently from what the file seems to say: elements\n"
     "and attributes it does not read, booleans it does not understand, numbers\n"
     "it cuts short. It touches no device and no log.\n"
     "\n"
     "Exit status: 0 when every entry can be served (warnings alone, too, unless\n"
     "--strict); 1 otherwise.",
     Format | Strict, command::check},
    {"list", "list the attached devices and what a pass would do with each",
     "Opens a session of the device library in BASE, lists every attached\n"
     "device with its index, name, state and ids, and what a pass would do with\n"
     "it: download (and whether that will fail before the library is asked,\n"
     "for a firmware file it cannot load, and which devices the pass then never\n"
     "reaches), or skip it, with a hint for ids written in hex. It says when a\n"
     "retry of a failed pass is due, or that the service gave up. It waits for a\n"
     "running pass first and holds the passes off meanwhile. It opens no device,\n"
     "downloads nothing and writes no log.\n"
     "\n"
     "Exit status: 0 when listed; 1 when the configuration, the lock or the\n"
     "library failed (the library's own text goes to standard error).",
     Format | Lock, command::list},
    {"info", "read serial number, firmware and user id from each device",
     "Lists every attached device (or the one at index N) with its index, name,\n"
     "state and ids, and what it says when opened: serial number, firmware\n"
     "version, variant (text and number), user id and largest transfer size. It\n"
     "waits for a running pass, opens each device only for these reads, never\n"
     "downloads and writes no log. A device that cannot be opened shows the\n"
     "library's text, and the others are still read.\n"
     "\n"
     "Exit status: 0 when every device was read; 1 otherwise.",
     Format | Lock | Index, command::info},
    {"set-user-id", "store a user id (a label) in a device",
     "Stores TEXT as the user id of the device at INDEX (as info lists it), a\n"
     "label such as a rack position, reads it back and prints it. It waits for\n"
     "a running pass first.\n"
     "\n"
     "Exit status: 0 when stored and read back; 1 otherwise.",
     Lock | UserId, command::setUserId},
    {"rules", "write a udev rules file for the configured device types",
     "Prints a udev rules file that starts a pass only when a USB device of a\n"
     "type configured in BASE/data/service.xml arrives. Entries whose ids\n"
     "cannot be USB ids get no rule and a warning. Without a single rule to\n"
     "write it writes nothing and fails: an empty rules file in place of the\n"
     "generic rule would switch hotplug off. With --output the file is replaced\n"
     "only once it is complete, and only if it is a regular file (a symbolic\n"
     "link is followed). For example:\n"
     "\n"
     "  qmx4-fwctl rules --output /etc/udev/rules.d/60-qmx4-fwload.rules /var/lib/qmx4-fwload\n"
     "  udevadm control --reload\n"
     "\n"
     "Exit status: 0 when written; 1 when the configuration or the file failed,\n"
     "or there was no rule to write.",
     Output | Generic, command::rules},
    {"metrics", "write the passes and the attached devices for Prometheus",
     "Prints the firmware passes and the devices attached now in Prometheus' text\n"
     "format: the end, result and duration of the last pass, the passes,\n"
     "downloads and retries so far (counters), whether a retry is due or the\n"
     "service gave up, and the devices by what a pass would do with them and by\n"
     "state, and each configured type's firmware SHA-256. With --output the\n"
     "counters are read from FILE and FILE is replaced whole. After each pass\n"
     "qmx4-fwload.service does this (ExecStopPost=, --ended) into the node\n"
     "exporter's directory for such files, and records the pass in the journal.\n"
     "\n"
     "Exit status: 0 when written; 1 when the devices could not be listed (the\n"
     "passes are written without them) or the file failed.",
     Output | Lock | Record, command::metrics},
    {"doctor", "check the installed device library before a device is plugged in",
     "Checks whether a pass will be able to use the device library, without a\n"
     "device and without downloading anything: which file the dynamic loader\n"
     "finds for libqmx4-1.5.1.so (and any other copy, or a file whose SONAME or\n"
     "word size keeps the loader from taking it), its ELF class and machine, its\n"
     "dependencies, the Ko functions the programs call and whether it asks for\n"
     "an executable stack; then it opens and closes a session of it in the\n"
     "sandbox of qmx4-fwload.service as systemd has it now (drop-ins included),\n"
     "with qmx4-fwload-probe in a transient service. Where the sandbox refuses\n"
     "the library, it finds by trying which settings do and prints the smallest\n"
     "drop-in that lets it work, tried too. Without systemd, or not as root, the\n"
     "session is tried by hand and the sandbox judged from the shipped settings.\n"
     "It reads the library's files but never runs them, except in the probe.\n"
     "\n"
     "Exit status: 0 when a pass can use the library; 1 otherwise (the cause and\n"
     "the fix are printed).",
     Format | Library, command::doctor},
    {"history", "list the downloads on record in the journal, newest first",
     "Lists the firmware downloads the passes left in the system journal, newest\n"
     "first: when, the device (its place in the pass's listing, its name and\n"
     "ids), the configured type, the firmware file, its size and SHA-256 as the\n"
     "pass read it right before the library got its path (cut to 12 digits in\n"
     "a table, whole with --tsv and --json), and the outcome with the library's\n"
     "text. It reads the journal only: no device, no lock. The system journal\n"
     "is readable by root and the groups systemd-journal and adm.\n"
     "\n"
     "Exit status: 0 when listed (also when none is on record); 1 when there is\n"
     "no journal or it may not be read, or a wrong --since.",
     Format | History, command::history},
    {"completion", "print a shell completion script",
     "Prints a completion script for SHELL (bash), made from the commands and\n"
     "options above: the commands, each command's options, directories for the\n"
     "base directory and --lock-dir, files for --output. The package installs\n"
     "it in /usr/share/bash-completion/completions, where bash-completion\n"
     "finds it; by hand:\n"
     "\n"
     "  source <(qmx4-fwctl completion bash)\n"
     "\n"
     "Exit status: 0 when written; 1 when the file failed.",
     Output | Shell, command::completion},
};

const size_t commandCount = sizeof commands / sizeof commands[0];

} // namespace cli
} // namespace fwctl
