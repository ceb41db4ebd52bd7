#include "cli.h"

#include "decimal.h"
#include "passlock.h"
#include "report.h"
#include "prometheus.h"

#include <CLI/CLI.hpp>
#include <algorithm>


namespace fwctl {
namespace cli {

namespace {

// The lock directory as a path that does not depend on where a command
// runs: an absolute one.
const CLI::Validator absolute(
    [](std::string& dir) {
        return passlock_valid(dir.c_str()) ? std::string() : "takes an absolute directory, not '" + dir + "'";
    },
    "", "absolute");

const CLI::Validator notEmpty([](std::string& file) { return file.empty() ? "takes a file name" : ""; }, "",
                              "not empty");

const CLI::Validator pass(
    [](std::string& record) {
        try {
            prometheus::parsePass(record);
            return std::string();
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
    },
    "", "pass");

// A pass's id: up to 64 digits and '-' (the helper's are time and process).
// A whole number from 0 to `most`, read as the helper reads its own
// (decimal.h: no sign, blank, hex or exponent), and passed on without
// leading zeros, which CLI11 would take for octal.
CLI::Validator whole(int most)
{
    return CLI::Validator(
        [most](std::string& text) {
            double value;
            if (decimal_parse(text.c_str(), -1, most, DECIMAL_WHOLE, &value) != 0)
                return "takes a whole number from 0 to " + std::to_string(most) + ", not '" + report::excerpt(text) + "'";
            text = std::to_string(static_cast<long long>(value));
            return std::string();
        },
        "", "whole");
}

// A device index: 0, 1, ...
const CLI::Validator index = whole(1000000);

// Adds a command's options, bound to `o`, and with `positionals` its
// positional arguments.
void addOptions(CLI::App& app, unsigned takes, Options& o, bool positionals)
{
    if (takes & Format) {
        app.add_flag("--table", "aligned columns under a header (default on a terminal)");
        app.add_flag("--tsv", "tab-separated lines without a header (default otherwise)");
        app.add_flag("--json", "one JSON document, also when the command fails (qmx4-fwctl(8) has its fields)");
    }
    if (takes & Strict)
        app.add_flag("--strict", o.strict, "warnings alone fail too");
    if (takes & Index)
        app.add_option("--index", o.index, "only the device at this index")->type_name("N")->transform(index);
    if (takes & Lock) {
        app.add_option("--lock-dir", o.lockDir, "where the passes' lock lives, an absolute directory (default " PASSLOCK_DIR ")")
            ->type_name("DIR")
            ->check(absolute);
        app.add_option("--wait", o.wait, "wait at most this long for a running pass (0 to 86400; default 60)")
            ->type_name("SECONDS")
            ->transform(whole(86400));
    }
    if (takes & Record) {
        app.add_option("--record", o.record,
                       "add a pass: R success or failure, N devices downloaded, S seconds it took; retry when it "
                       "retried a failed one")
            ->type_name("R,N,S[,retry]")
            ->check(pass);
        app.add_option("--ended", o.ended,
                       "add the pass the events FILE holds, as the service's ExecStopPost= does, then remove FILE")
            ->type_name("FILE");
        app.add_flag("--no-lock", o.noLock, "the caller holds the passes' lock (a pass does)");
    }
    if (takes & Output)
        app.add_option("--output", o.output, "write FILE instead of standard output (-)")->type_name("FILE")->check(notEmpty);
    if (takes & Library)
        app.add_option("--library", o.library, "check this file instead of the one the dynamic loader finds")
            ->type_name("FILE")
            ->check(notEmpty);
    if (takes & History) {
        app.add_option("--type", o.type, "only downloads of this configured type (its name)")->type_name("NAME");
        app.add_option("--since", o.since,
                       "only downloads since then: now, today, yesterday, YYYY-MM-DD [HH:MM[:SS]], or -N with s, "
                       "min, h or d")
            ->type_name("TIME");
        app.add_flag("--failed", o.failed, "only failed downloads");
    }
    if (takes & Generic)
        app.add_flag("--generic", o.generic, "the packaged rule instead: a pass for every USB device");
    if (!positionals)
        return;
    if (takes & Shell) {
        app.add_option("SHELL", o.shell, "the shell: bash")->required()->check(CLI::IsMember({"bash"}))->type_name("SHELL");
        return;
    }
    if (takes & UserId) {
        app.add_option("INDEX", o.index, "the device, as info lists it")->required()->transform(index);
        app.add_option("TEXT", o.userId, "the user id to store")->required();
    }
    app.add_option("BASE", o.base, "the base directory whose data/service.xml is read (default " QMX4_BASE_DIR ")")
        ->type_name("DIR");
}

// An option's long name, "--json" (CLI11 names a hidden option "").
std::string longName(const CLI::Option* option)
{
    return option->get_lnames().empty() ? std::string() : "--" + option->get_lnames().front();
}

// The program's own copies of every command's options, which take them
// before the command (CLI11 gives a command only what follows it): hidden
// from its help, and refused after the parse for a command without them.
void addOptionsBeforeCommands(CLI::App& app, Options& o)
{
    unsigned all = 0;
    for (size_t n = 0; n < commandCount; ++n)
        all |= commands[n].takes;
    addOptions(app, all, o, false);
    for (CLI::Option* option : app.get_options())
        if (longName(option) != "--help" && longName(option) != "--version")
            option->group("");
}

// An option given before `command` that it does not take, or "".
std::string foreignOption(const CLI::App& app, const CLI::App& command)
{
    for (const CLI::Option* option : app.get_options())
        if (option->count() > 0 && !command.get_option_no_throw(longName(option)))
            return longName(option);
    return std::string();
}

bool isCommand(const std::string& word)
{
    for (size_t n = 0; n < commandCount; ++n)
        if (word == commands[n].name)
            return true;
    return false;
}

// The first argument that is neither an option nor an option's value: the
// command; "" when there is none.
std::string firstWord(const std::vector<std::string>& args)
{
    static const std::vector<std::string> valued = {"--lock-dir", "--wait", "--index", "--record", "--ended",
                                                    "--output", "--library"};
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--")
            return i + 1 < args.size() ? args[i + 1] : "";
        if (args[i].empty() || args[i][0] != '-')
            return args[i];
        if (std::find(valued.begin(), valued.end(), args[i]) != valued.end())
            ++i;
    }
    return "";
}

// The program's command line, bound to `o`.
void build(CLI::App& app, Options& o)
{
    app.footer(footer);
    app.set_version_flag("--version", "qmx4-fwctl " QMX4_VERSION);
    app.require_subcommand(1);
    addOptionsBeforeCommands(app, o);
    for (size_t n = 0; n < commandCount; ++n)
        addOptions(*app.add_subcommand(commands[n].name, commands[n].summary)->footer(commands[n].description),
                   commands[n].takes, o, true);
}

} // namespace

Parsed parse(const std::vector<std::string>& args, bool terminal, std::ostream& out, std::ostream& err)
{
    Parsed parsed;
    Options& o = parsed.options;
    o.table = terminal;
    o.lockDir = PASSLOCK_DIR;
    o.base = QMX4_BASE_DIR; // where the units run passes: what an administrator means
    CLI::App app(description, "qmx4-fwctl");
    build(app, o);
    std::vector<std::string> reversed(args.rbegin(), args.rend()); // as CLI11 takes them
    try {
        app.parse(reversed);
        const CLI::App* command = app.get_subcommands().front();
        if (const std::string foreign = foreignOption(app, *command); !foreign.empty())
            throw CLI::ParseError(command->get_name() + " takes no " + foreign, 2);
    } catch (const CLI::CallForHelp&) {
        // "qmx4-fwctl typo --help" is refused as "qmx4-fwctl typo" is.
        if (const std::string first = firstWord(args); !first.empty() && !isCommand(first)) {
            err << "qmx4-fwctl: " << report::excerpt("unknown command: " + first, 200) << '\n' << usage << '\n';
            parsed.status = 2;
            return parsed;
        }
        out << app.help();
        return parsed;
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << '\n';
        return parsed;
    } catch (const CLI::ParseError& e) {
        // A first word that names no command is said as such.
        const bool unknown = app.get_subcommands().empty() && !app.remaining().empty();
        err << "qmx4-fwctl: "
            << report::excerpt(unknown ? "unknown command: " + app.remaining().front() : std::string(e.what()), 200)
            << '\n' << usage << '\n';
        parsed.status = 2;
        return parsed;
    }
    for (size_t n = 0; n < commandCount; ++n) {
        const CLI::App* command = app.get_subcommand(commands[n].name);
        if (!command->parsed())
            continue;
        parsed.command = &commands[n];
        // The last of --table, --tsv and --json wins, before the command or
        // after it.
        std::vector<const CLI::Option*> order(app.parse_order().begin(), app.parse_order().end());
        order.insert(order.end(), command->parse_order().begin(), command->parse_order().end());
        for (const CLI::Option* option : order) {
            const std::string name = longName(option);
            if (name == "--table" || name == "--tsv")
                o.table = name == "--table", o.json = false;
            else if (name == "--json")
                o.json = true;
        }
    }
    return parsed;
}

namespace {

// The shell words that complete the value of `option` from its type:
// directories, files, the shells, or nothing.
std::string completes(const CLI::Option* option)
{
    const std::string type = option->get_type_name();
    const std::string kind = type.substr(0, type.find_first_of(" :"));
    const std::string words = kind == "DIR"   ? "-d"
                              : kind == "FILE"  ? "-f"
                              : kind == "SHELL" ? "-W bash"
                                                : "";
    return words.empty() ? std::string() : "mapfile -t COMPREPLY < <(compgen " + words + " -- \"$cur\")";
}

} // namespace

std::string bashCompletion()
{
    Options o;
    CLI::App app(description, "qmx4-fwctl");
    build(app, o);
    std::string names, valued, values, options, positional, all = "--help --version";
    for (const CLI::App* command : app.get_subcommands({})) {
        std::string own = "--help";
        bool first = true; // only the first positional argument is completed
        for (const CLI::Option* option : command->get_options()) {
            const std::string name = longName(option);
            if (option->get_positional()) {
                if (first && !completes(option).empty())
                    positional += "    " + command->get_name() + ") " + completes(option) + " ;;\n";
                first = false;
                continue;
            }
            if (name == "--help")
                continue;
            own += " " + name;
            if (all.find(" " + name) == std::string::npos) {
                all += " " + name;
                if (option->get_items_expected_max() != 0) {
                    valued += (valued.empty() ? "" : "|") + name;
                    values += "    " + name + ") " + (completes(option).empty() ? "" : completes(option) + "; ") + "return ;;\n";
                }
            }
        }
        names += (names.empty() ? "" : " ") + command->get_name();
        options += "    " + command->get_name() + ") words=\"" + own + "\" ;;\n";
    }
    return "# bash completion for qmx4-fwctl, made by \"qmx4-fwctl completion bash\" from its own\n"
           "# commands and options: the commands, each command's options, directories for\n"
           "# the base directory and --lock-dir, files for --output.\n"
           "_qmx4_fwctl()\n"
           "{\n"
           "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
           "  local command= ended= words i\n"
           "  COMPREPLY=()\n"
           "  # The command is the first word that is no option and no option's value.\n"
           "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "    case ${COMP_WORDS[i]} in\n"
           "    --) ended=1; break ;;\n"
           "    " + valued + ") ((i++)) ;;\n"
           "    -*) ;;\n"
           "    *) [ -n \"$command\" ] || command=${COMP_WORDS[i]} ;;\n"
           "    esac\n"
           "  done\n"
           "  if [ -z \"$ended\" ]; then\n"
           "    case $prev in\n" +
           values +
           "    esac\n"
           "  fi\n"
           "  if [ -z \"$ended\" ] && [[ $cur == -* ]]; then\n"
           "    case $command in\n" +
           options +
           "    *) words=\"" + all + "\" ;;\n"
           "    esac\n"
           "    mapfile -t COMPREPLY < <(compgen -W \"$words\" -- \"$cur\")\n"
           "  elif [ -z \"$command\" ]; then\n"
           "    mapfile -t COMPREPLY < <(compgen -W \"" + names + "\" -- \"$cur\")\n"
           "  else\n"
           "    case $command in\n" +
           positional +
           "    esac\n"
           "  fi\n"
           "}\n"
           "complete -o filenames -F _qmx4_fwctl qmx4-fwctl\n";
}

} // namespace cli
} // namespace fwctl
