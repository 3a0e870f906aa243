// The config file read into the options, and the options in effect written
// as a config file.
#include "app/configoptions.h"
#include "app/configfile.h"
#include "app/lan.h"
#include "app/optiontable.h"
#include "app/userconfig.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace seafold {

namespace {

// The items as read and checked: CLI11 takes them from here rather than
// from the file, so that what it applies is what was checked.
class CheckedConfig : public CLI::Config {
public:
    explicit CheckedConfig(std::vector<CLI::ConfigItem> items) : mItems(std::move(items)) {}
    std::vector<CLI::ConfigItem> from_config(std::istream&) const override { return mItems; }
    std::string to_config(const CLI::App*, bool, bool, std::string) const override { return std::string(); }

private:
    std::vector<CLI::ConfigItem> mItems;
};

bool isFlag(const CLI::Option& option)
{
    return option.get_expected_max() == 0;
}

bool flagWord(const std::string& word, bool* on)
{
    static const char* const yes[] = {"true", "1", "yes", "on"};
    static const char* const no[] = {"false", "0", "no", "off"};
    for (const char* w : yes)
        if (word == w)
            return *on = true;
    for (const char* w : no)
        if (word == w)
            return !(*on = false);
    return false;
}

// Why `item`'s values are no good for `program`, or empty: they are tried
// on a parser of their own, as the command line would give them.
std::string valueProblem(Program program, bool finding, const CLI::Option& option, const ConfigItem& item)
{
    if (isFlag(option)) {
        bool on;
        if (item.values.size() != 1 || !flagWord(item.values[0], &on))
            return "--" + item.option + " is on or off: true or false";
        return std::string();
    }
    if (item.values.empty())
        return std::string();
    ProgramOptions scratch;
    std::unique_ptr<CLI::App> parser = buildParser(program, scratch, finding);
    std::vector<std::string> args;
    for (const std::string& value : item.values) {
        args.push_back("--" + item.option);
        args.push_back(value);
    }
    std::reverse(args.begin(), args.end());
    try {
        parser->parse(args);
    } catch (const CLI::ParseError& error) {
        std::string why = error.what();
        return why.substr(0, why.find('\n'));
    }
    return std::string();
}

// The options the window keeps: a bad value of theirs is the program's own
// doing, never a reason not to start.
bool keptByTheWindow(const std::string& option)
{
    static const char* const kept[] = {"name",
                                       "last-server",
                                       "model",
                                       "mute",
                                       "volume",
                                       "master-volume",
                                       "voice-activation",
                                       "show-material-sliders",
                                       "favourite"};
    return std::find(std::begin(kept), std::end(kept), option) != std::end(kept);
}

// The user whose section applies: the one the line names, else the name the
// window kept at the top, else (a windowed server's) the host name.
std::string userOf(const std::vector<ConfigItem>& items, const std::string& lineUser)
{
    if (!lineUser.empty())
        return lineUser;
    for (const ConfigItem& item : items)
        if (item.user.empty() && item.option == "name" && item.error.empty() && item.values.size() == 1)
            return item.values[0];
    return hostName();
}

} // namespace

bool applyConfigFile(Program program, const ConfigSource& source, CLI::App& parser, ConfigReading* reading)
{
    std::string text;
    FileWriteResult read = readFileIfAny(source.path, &text, "the config file");
    if (read && source.required && ::access(source.path.c_str(), F_OK) != 0)
        read = FileWriteResult::failed("cannot read the config file " + source.path + ": " + std::strerror(errno));
    if (!read) {
        // The user's own file, there but unreadable, is said rather than
        // passed over: the start goes on with the defaults.
        if (source.required)
            reading->error = read.error;
        else
            reading->warnings.push_back(read.error + "; its options are let be, and the defaults hold");
        return !source.required;
    }
    const std::vector<ConfigItem> items = readConfigText(text);
    const std::string user = userOf(items, source.lineUser);

    // The last line of each option wins: the user's section comes after the top.
    std::vector<const ConfigItem*> chosen;
    for (const ConfigItem& item : items) {
        if (!item.user.empty() && item.user != user)
            continue;
        chosen.erase(
            std::remove_if(chosen.begin(), chosen.end(), [&](const ConfigItem* c) { return c->option == item.option; }),
            chosen.end());
        chosen.push_back(&item);
    }
    std::vector<CLI::ConfigItem> checked;
    for (const ConfigItem* item : chosen) {
        // What the window keeps is read by applyKeptChoices, past the
        // parser (which would read "[x]" as a list and "x,y" as two).
        if (keptByTheWindow(item->option)) {
            if (item->error.empty())
                reading->kept.push_back(*item);
            else
                reading->warnings.push_back(source.path + " line " + std::to_string(item->line) + ": " + item->error +
                                            "; it is let be, and the default holds");
            continue;
        }
        const CLI::Option* option = parser.get_option_no_throw("--" + item->option);
        std::string why = item->error;
        if (why.empty() && (!option || !option->get_configurable())) {
            // --find knows only the options of finding; the others are let be.
            if (source.finding)
                continue;
            why = "unknown option \"" + item->option + "\"";
        }
        if (why.empty())
            why = valueProblem(program, source.finding, *option, *item);
        const std::string where = source.path + " line " + std::to_string(item->line);
        if (!why.empty() && (keptByTheWindow(item->option) || !item->user.empty())) {
            reading->warnings.push_back(where + ": " + why + "; it is let be, and the default holds");
            continue;
        }
        if (!why.empty()) {
            reading->error = "in the config file " + where + ": " + why;
            return false;
        }
        if (item->values.empty())
            continue;
        CLI::ConfigItem given;
        given.name = item->option;
        given.inputs = item->values;
        checked.push_back(given);
    }
    reading->path = source.path;
    parser.config_formatter(std::make_shared<CheckedConfig>(std::move(checked)));
    parser.get_config_ptr()->default_str(source.path);
    return true;
}

namespace {

// One kept choice into `options`; false when its values do not read.
bool applyKept(const ConfigItem& item, ProgramOptions& options)
{
    SharedOptions& shared = options.shared;
    const std::vector<std::string>& values = item.values;
    const bool one = values.size() == 1 && !values[0].empty();
    bool on = false;
    if (item.option == "name" && one)
        shared.hostUserName = values[0];
    else if (item.option == "last-server" && one)
        shared.lastServer = values[0];
    else if (item.option == "model" && one)
        options.headless.model = values[0];
    else if (item.option == "voice-activation" && values.size() == 1 && flagWord(values[0], &on))
        shared.voiceActivation = on;
    else if (item.option == "show-material-sliders" && values.size() == 1 && flagWord(values[0], &on))
        shared.materialSlidersOpen = on;
    else if (item.option == "mute" && std::none_of(values.begin(), values.end(), [](auto& v) { return v.empty(); }))
        shared.muted = values;
    else if (item.option == "favourite" &&
             std::none_of(values.begin(), values.end(), [](auto& v) { return v.empty(); }))
        shared.favourites = values;
    else if (item.option == "master-volume" && values.size() == 1 && readMasterVolume(values[0], &shared.masterVolume))
        return true;
    else if (item.option == "volume") {
        std::vector<std::pair<std::string, float>> volumes(values.size());
        for (size_t k = 0; k < values.size(); ++k)
            if (!readVolume(values[k], &volumes[k]))
                return false;
        shared.volumes = volumes;
    } else
        return false;
    return true;
}

} // namespace

void applyKeptChoices(const CLI::App& parser, ConfigReading& reading, ProgramOptions& options)
{
    for (const ConfigItem& item : reading.kept) {
        const CLI::Option* option = parser.get_option_no_throw("--" + item.option);
        // The command line wins; the other program's choices are let be.
        if (!option || option->count() > 0 || option->get_group().empty())
            continue;
        if (applyKept(item, options)) {
            reading.applied.push_back(item);
            continue;
        }
        reading.warnings.push_back(reading.path + " line " + std::to_string(item.line) + ": --" + item.option +
                                   " cannot be \"" + (item.values.empty() ? "" : item.values[0]) +
                                   "\"; it is let be, and the default holds");
    }
}

void applyUsersKeptChoices(const std::string& path, const std::string& user, ProgramOptions& options)
{
    // Nothing of the user before: what this user did not choose has its default.
    options.shared.muted.clear();
    options.shared.volumes.clear();
    options.shared.masterVolume = 1.0f;
    options.shared.voiceActivation = false;
    options.headless.model.clear();
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    for (const ConfigItem& item : readConfigText(text.str()))
        if (!user.empty() && item.user == user && item.error.empty() && keptByTheWindow(item.option))
            applyKept(item, options);
}

std::string configText(Program program, const CommandLine& line, const CLI::App& parser,
                       const std::vector<ConfigItem>& applied)
{
    std::string mode = line.find          ? " --find"
                       : line.startWindow ? " (the start window)"
                       : line.isClient    ? " -client " + line.addressText + " " + line.clientName
                                          : " server " + line.addressText;
    std::string text = std::string("# ") + programName(program) + mode + "\n";
    for (const CLI::Option* option : parser.get_options()) {
        if (!option->get_configurable() || option->get_lnames().empty())
            continue;
        const std::string name = option->get_lnames().front();
        auto kept = std::find_if(applied.begin(), applied.end(), [&](const ConfigItem& i) { return i.option == name; });
        if (name == "help" || name == "config" || (option->count() == 0 && kept == applied.end()))
            continue;
        std::vector<std::string> values = option->count() ? option->results() : kept->values;
        if (isFlag(*option)) {
            bool on = true;
            for (const std::string& value : values)
                flagWord(value, &on);
            values = {on ? "true" : "false"};
        }
        const bool list = option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll;
        text += configLine(name, values, list) + "\n";
    }
    return text;
}

} // namespace seafold
