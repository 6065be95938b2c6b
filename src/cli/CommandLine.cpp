#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <utility>

#include "common/AppFolders.h"
#include "common/Text.h"
#include "common/Translations.h"
#include "common/Unicode.h"
#include "datasets/Datasets.h"

#ifndef POS_TRANSFER_VERSION
#error "POS_TRANSFER_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace pos::cli {

namespace {

const char* const kProgramName = "pos-transfer-cli";

std::string withoutDashes(const std::string& word) {
    const std::size_t start = word.find_first_not_of('-');
    return start == std::string::npos ? std::string() : word.substr(start);
}

// The optimal string alignment distance: insertions, deletions, substitutions
// and swaps of two neighbouring characters ("exprot" is one from "export").
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The closest of `known` to `word`, the leading dashes left out, when it is
// within a third of its length (at least one edit); else empty.
std::string closestWord(const std::string& word, const std::vector<std::string>& known) {
    const std::string bare = withoutDashes(word);
    std::string best;
    std::size_t bestDistance = 0;
    for (const std::string& candidate : known) {
        const std::string candidateBare = withoutDashes(candidate);
        const std::size_t distance = editDistance(bare, candidateBare);
        const std::size_t allowed = std::max<std::size_t>(1, candidateBare.size() / 3);
        if (distance <= allowed && (best.empty() || distance < bestDistance)) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

// Every spelling of the options of `app`: "--name" and "-n".
void addOptionNames(const CLI::App& app, std::vector<std::string>& names) {
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            names.push_back("--" + name);
        }
        for (const std::string& name : option->get_snames()) {
            names.push_back("-" + name);
        }
    }
}

std::string quoted(const std::string& word) {
    return "'" + word + "'";
}

std::string unknownLine(const char* kind, const std::string& word,
                        const std::vector<std::string>& known) {
    std::string line = std::string("unknown ") + kind + " " + quoted(word);
    const std::string closest = closestWord(word, known);
    if (!closest.empty()) {
        line += "; did you mean " + quoted(closest) + "?";
    }
    return line;
}

// An unknown short option ("-x", "-databse"): the program's options are
// spelt out, so a one-letter one is suggested only when it exists; the line
// offers the closest long option, else the long options there are.
std::string unknownShortOptionLine(const std::string& word, const std::vector<std::string>& known) {
    std::vector<std::string> longNames;
    for (const std::string& name : known) {
        if (name.starts_with("--") && name != "--help" && name != "--version" &&
            std::find(longNames.begin(), longNames.end(), name) == longNames.end()) {
            longNames.push_back(name);
        }
    }
    std::string line = "unknown option " + quoted(word);
    const std::string closest = closestWord(word, longNames);
    if (!closest.empty()) {
        return line + "; did you mean " + quoted(closest) + "?";
    }
    line += "; the options are spelt out:";
    for (const std::string& name : longNames) {
        line += " " + name;
    }
    return line;
}

bool looksLikeOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

std::string optionsHelp(const CLI::App& app) {
    std::ostringstream out;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_lnames().empty() || option == app.get_help_ptr() ||
            option == app.get_version_ptr()) {
            continue;
        }
        std::string name = option->get_name();
        if (!option->get_type_name().empty()) {
            name += " " + option->get_type_name();
        }
        out << "  " << std::left;
        out.width(27);
        out << name << " " << option->get_description() << "\n";
    }
    return out.str();
}

std::string datasetsHelp() {
    std::string list;
    for (std::size_t i = 0; i < datasets::kDatasets.size(); ++i) {
        const datasets::Dataset& dataset = datasets::kDatasets[i];
        list += std::string(i == 0 ? "" : ", ") + dataset.key + " (" + dataset.displayText + ")";
    }
    return translated("DATASET is one of %1, by its key in any letter case or by its text.",
                      {list}) +
           "\n";
}

// The folders the program uses without --field-maps and --store: beside the
// program when its folder is writable, else the user's XDG folders. Worked
// out when the help is shown, not on every run.
std::string foldersHelp() {
    const std::string exeDir = executableDir();
    std::string store = defaultStoreFolder(exeDir);
    if (const char* env = std::getenv("POS_TRANSFER_STORE"); env && *env) {
        store = std::string(env) + " (POS_TRANSFER_STORE)";
    }
    return translated(
        "Folders in use (--field-maps and --store choose others):\n"
        "  field maps     %1\n"
        "  store          %2\n"
        "  new workbooks  %3",
        {fieldMapFolder(exeDir), store, defaultExportFolder(exeDir)});
}

std::string exitCodesHelp() {
    return translated(
        "Exit codes: 0 success; 1 refused or failed (the reason on stderr); 2 bad usage;\n"
        "130 after Ctrl-C, 143 after SIGTERM.");
}

// CLI11's layout of the help, with the option names padded to their column
// by the columns they take rather than by their bytes: a translated label
// (REQUIRED) may hold characters of two columns and three bytes.
class ColumnFormatter : public CLI::Formatter {
public:
    std::string make_option(const CLI::Option* opt, bool isPositional) const override {
        const std::string name = make_option_name(opt, isPositional) + make_option_opts(opt);
        const std::size_t extraBytes = name.size() - terminalColumns(name);
        std::ostringstream out;
        CLI::detail::format_help(out, name, make_option_desc(opt), get_column_width() + extraBytes);
        return out.str();
    }
};

// The words that CLI11 writes itself: the headings, the labels and the
// groups of options and commands.
void translateFrame(CLI::App& app) {
    const auto formatter = std::make_shared<ColumnFormatter>();
    formatter->label("Usage", translated("Usage"));
    formatter->label("OPTIONS", translated("OPTIONS"));
    formatter->label("SUBCOMMAND", translated("COMMAND"));
    formatter->label("Positionals", translated("Positionals"));
    formatter->label("REQUIRED", translated("REQUIRED"));
    std::vector<CLI::App*> apps = app.get_subcommands([](CLI::App*) { return true; });
    for (CLI::App* command : apps) {
        command->group(translated("Commands"));
    }
    apps.push_back(&app);
    for (CLI::App* each : apps) {
        each->formatter(formatter);
        for (CLI::Option* option : each->get_options()) {
            if (option->get_group() == "Options") {
                option->group(translated("Options"));
            }
        }
    }
}

}  // namespace

std::string versionText() {
    return std::string(kProgramName) + " " + POS_TRANSFER_VERSION;
}

void completeHelp(CLI::App& app) {
    app.set_version_flag("--version", versionText(),
                         translated("Print the program's name and version"));
    app.footer(foldersHelp);
    app.footer("\n" +
               translated("Run %1 COMMAND --help for the options of a command.", {kProgramName}) +
               "\n" + datasetsHelp() + exitCodesHelp());
    const std::string global = "\n" + translated("Global options (before or after the command):") +
                               "\n" + optionsHelp(app);
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        const bool takesDataset = command->get_option_no_throw("--dataset") != nullptr;
        command->footer(global + (takesDataset ? "\n" + datasetsHelp() : std::string("\n")) +
                        exitCodesHelp());
    }
    translateFrame(app);
}

std::vector<std::string> unrecognisedWords(const CLI::App& app,
                                           const std::vector<std::string>& args) {
    // The words the parser left, at the program and in the command given,
    // counted, then taken in the order of the command line.
    std::map<std::string, int> left;
    const CLI::App* command = nullptr;
    for (const std::string& word : app.remaining()) {
        ++left[word];
    }
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->parsed()) {
            command = sub;
            for (const std::string& word : sub->remaining()) {
                ++left[word];
            }
        }
    }
    if (left.empty()) {
        return {};
    }

    std::vector<std::string> commandNames;
    std::vector<std::string> optionNames;
    addOptionNames(app, optionNames);
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        commandNames.push_back(sub->get_name());
        if (!command || sub == command) {
            addOptionNames(*sub, optionNames);
        }
    }

    std::vector<std::string> lines;
    std::vector<std::string> unexpected;
    bool afterSeparator = false;
    bool valueOfUnknownOption = false;
    for (const std::string& word : args) {
        const bool wasValue = std::exchange(valueOfUnknownOption, false);
        if (!afterSeparator && word == "--") {
            afterSeparator = true;
            continue;
        }
        auto it = left.find(word);
        if (it == left.end() || it->second == 0) {
            continue;
        }
        --it->second;
        if (!afterSeparator && looksLikeOption(word)) {
            const std::string name = word.substr(0, word.find('='));
            const bool shortForm = !name.starts_with("--");
            lines.push_back(shortForm ? unknownShortOptionLine(name, optionNames)
                                      : unknownLine("option", name, optionNames));
            // The next word is most likely the value the user meant for it.
            valueOfUnknownOption = name.size() == word.size();
            continue;
        }
        if (wasValue) {
            continue;
        }
        if (!command) {
            // The words after an unknown command are its own.
            lines.push_back(unknownLine("command", word, commandNames));
            break;
        }
        unexpected.push_back(quoted(word));
    }
    if (!unexpected.empty()) {
        std::string line =
            unexpected.size() == 1 ? "unexpected argument " : "unexpected arguments ";
        for (std::size_t i = 0; i < unexpected.size(); ++i) {
            line += (i == 0 ? "" : " ") + unexpected[i];
        }
        lines.push_back(line + " for " + quoted(command->get_name()));
    }
    return lines;
}

}  // namespace pos::cli
