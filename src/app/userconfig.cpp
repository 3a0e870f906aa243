#include "app/userconfig.h"
#include "app/commandline.h"
#include "app/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace seafold {

namespace {

// Makes every missing folder of `path`'s folder.
bool makeFolderOf(const std::string& path, std::string* error)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot make the folder " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// The option a line sets, or empty: "name = x" and "name=x" give "name";
// comments and blank lines give nothing.
std::string optionOfLine(const std::string& line)
{
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#' || line[start] == ';' || line[start] == '[')
        return std::string();
    size_t equals = line.find('=', start);
    if (equals == std::string::npos)
        return std::string();
    size_t end = line.find_last_not_of(" \t", equals - 1);
    return end == std::string::npos || end < start ? std::string() : line.substr(start, end - start + 1);
}

} // namespace

bool configValueOf(const std::string& text, std::string* value)
{
    if (text.find_first_of("\r\n") != std::string::npos)
        return false;
    // Flags read their words bare.
    if (text == "true" || text == "false") {
        *value = text;
        return true;
    }
    if (text.find_first_of("\"\\") == std::string::npos) {
        *value = "\"" + text + "\"";
        return true;
    }
    if (text.find('\'') == std::string::npos) {
        *value = "'" + text + "'";
        return true;
    }
    return false;
}

bool rememberInConfigFile(const std::string& path, const std::string& option, const std::vector<std::string>& values,
                          bool asList, std::string* error)
{
    std::string setting;
    if (!values.empty()) {
        std::string joined;
        for (const std::string& text : values) {
            std::string value;
            if (!configValueOf(text, &value)) {
                *error = "\"" + text + "\" cannot be written as a config value";
                return false;
            }
            joined += (joined.empty() ? "" : ", ") + value;
        }
        setting = option + " = " + (asList ? "[" + joined + "]" : joined);
    }

    // The lines as they are; only those of `option` change.
    std::vector<std::string> lines;
    {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
    }
    if (lines.empty()) {
        lines.push_back("# Seafold's options (any --option without its dashes); the windowed program keeps your");
        lines.push_back("# choices here too. The command line wins over this file.");
    }
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (optionOfLine(line) == option) {
            // The first such line is rewritten where it stands; repeats go.
            if (!setting.empty())
                kept.push_back(setting);
            setting.clear();
            continue;
        }
        kept.push_back(line);
    }
    if (!setting.empty())
        kept.push_back(setting);
    std::ostringstream out;
    for (const std::string& line : kept)
        out << line << '\n';

    if (!makeFolderOf(path, error))
        return false;
    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << out.str();
        file.flush();
        if (!file) {
            *error = "cannot write " + temporary;
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot replace " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

void rememberChoice(const std::string& option, const std::vector<std::string>& values, bool asList)
{
    static bool told = false;
    const std::string path = userConfigFile();
    std::string error;
    if (path.empty()) {
        error = "there is no home folder";
    } else if (rememberInConfigFile(path, option, values, asList, &error)) {
        return;
    }
    if (!told)
        consoleLine("Your choices cannot be kept for the next start: " + error + ".");
    told = true;
}

} // namespace seafold
