#include "app/userconfig.h"
#include "app/configfile.h"
#include "app/console.h"

#include <sstream>

namespace seafold {

namespace {

const char* const NewFileHeader[] = {
    "# Seafold's options (any --option without its dashes); the windowed program keeps your",
    "# choices here too, each user's in a section of their own. The command line wins over this file.",
};

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines [first, end) of `user`'s part of the file: the top (user empty)
// or the section; first == end == lines.size() when there is no section.
void findPart(const std::vector<std::string>& lines, const std::string& user, size_t* first, size_t* end)
{
    *first = user.empty() ? 0 : lines.size();
    *end = lines.size();
    bool inside = user.empty();
    for (size_t k = 0; k < lines.size(); ++k) {
        std::string section;
        if (!sectionOfLine(lines[k], &section))
            continue;
        if (inside) {
            *end = k;
            return;
        }
        if (section == user) {
            *first = k + 1;
            inside = true;
        }
    }
}

} // namespace

bool keptPerUser(const std::string& option)
{
    // The name is what the start window offers the next time, whoever that is.
    return option != "name";
}

FileWriteResult rememberInConfigFile(const std::string& path, const std::string& user, const std::string& option,
                                     const std::vector<std::string>& values, bool asList)
{
    std::string setting = values.empty() ? std::string() : configLine(option, values, asList);
    // The user's own folder is made when missing; one window at a time
    // reads, changes and writes the file.
    FileWriteResult read = makeFoldersOf(path, 0700);
    if (!read)
        return read;
    FileUpdateLock oneAtATime(path);
    // A file there that cannot be read is left alone: written from nothing,
    // it would lose every line the user had in it.
    std::string text;
    read = readFileIfAny(path, &text);
    if (!read)
        return read;
    std::vector<std::string> lines = linesOf(text);
    if (lines.empty())
        lines.assign(std::begin(NewFileHeader), std::end(NewFileHeader));
    size_t first, end;
    findPart(lines, user, &first, &end);
    if (first == lines.size() && !user.empty()) {
        if (setting.empty())
            return FileWriteResult();
        lines.push_back("");
        lines.push_back(userSectionHeader(user));
        first = end = lines.size();
    }

    // The lines as they are; only those of `option` in this part change.
    std::vector<std::string> kept(lines.begin(), lines.begin() + long(first));
    for (size_t k = first; k < end; ++k) {
        if (optionOfLine(lines[k]) == option) {
            // The first such line is rewritten where it stands; repeats go.
            if (!setting.empty())
                kept.push_back(setting);
            setting.clear();
            continue;
        }
        kept.push_back(lines[k]);
    }
    if (!setting.empty()) {
        // At the end of the part, before the blank lines that end it.
        size_t at = kept.size();
        while (at > first && end < lines.size() && kept[at - 1].find_first_not_of(" \t") == std::string::npos)
            --at;
        kept.insert(kept.begin() + long(at), setting);
    }
    kept.insert(kept.end(), lines.begin() + long(end), lines.end());
    std::ostringstream out;
    for (const std::string& line : kept)
        out << line << '\n';

    // Replaced whole, through a link to it, with its mode kept.
    return writeFileAtomically(path, out.str(), 0644);
}

FileWriteResult rememberChoice(const std::string& user, const std::string& option,
                               const std::vector<std::string>& values, bool asList)
{
    static std::string told;
    const std::string path = userConfigFile();
    FileWriteResult kept =
        path.empty() ? FileWriteResult::failed("there is no home folder")
                     : rememberInConfigFile(path, keptPerUser(option) ? user : std::string(), option, values, asList);
    if (kept)
        return kept;
    if (kept.error != told)
        consoleLine("Your choices cannot be kept for the next start: " + kept.error + ".");
    told = kept.error;
    return kept;
}

} // namespace seafold
