#include "app/configfile.h"
#include "base/hex.h"

#include <cstdlib>

namespace seafold {

namespace {

const char* const Blanks = " \t";

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

void skipBlanks(const std::string& line, size_t& at)
{
    while (at < line.size() && isBlank(line[at]))
        ++at;
}

std::string trimmed(const std::string& text)
{
    size_t start = text.find_first_not_of(Blanks);
    if (start == std::string::npos)
        return std::string();
    return text.substr(start, text.find_last_not_of(Blanks) - start + 1);
}

// The escapes inside double quotes: the letter after the backslash, and the
// byte it stands for.
const char Escapes[][2] = {{'\\', '\\'}, {'"', '"'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}};

char escapedByte(char letter)
{
    for (const auto& escape : Escapes)
        if (escape[0] == letter)
            return escape[1];
    return 0;
}

char escapeLetter(char byte)
{
    for (const auto& escape : Escapes)
        if (escape[1] == byte)
            return escape[0];
    return 0;
}

// A double-quoted text from the quote at `at`; `at` ends past the closing
// quote. False, with why, for a bad escape or no closing quote.
bool readQuoted(const std::string& line, size_t& at, std::string* value, std::string* why)
{
    for (++at; at < line.size(); ++at) {
        char c = line[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c != '\\') {
            *value += c;
            continue;
        }
        if (++at >= line.size())
            break;
        if (char byte = escapedByte(line[at])) {
            *value += byte;
            continue;
        }
        if (line[at] != 'x') {
            *why = std::string("unknown escape \\") + line[at];
            return false;
        }
        int high = at + 2 < line.size() ? hexDigitValue(line[at + 1]) : -1;
        int low = high >= 0 ? hexDigitValue(line[at + 2]) : -1;
        if (low < 0) {
            *why = "\\x must be followed by two hex digits";
            return false;
        }
        *value += char(high * 16 + low);
        at += 2;
    }
    *why = "the closing \" is missing";
    return false;
}

// One value from `at`: quoted, single-quoted or bare. In a list a bare
// value ends at , or ]; at the top at the end of the line or a comment.
bool readValue(const std::string& line, size_t& at, bool inList, std::string* value, std::string* why)
{
    skipBlanks(line, at);
    if (at < line.size() && line[at] == '"')
        return readQuoted(line, at, value, why);
    if (at < line.size() && line[at] == '\'') {
        size_t end = line.find('\'', at + 1);
        if (end == std::string::npos) {
            *why = "the closing ' is missing";
            return false;
        }
        *value = line.substr(at + 1, end - at - 1);
        at = end + 1;
        return true;
    }
    size_t end = at;
    while (end < line.size()) {
        char c = line[end];
        if (inList && (c == ',' || c == ']'))
            break;
        if ((c == '#' || c == ';') && end > at && isBlank(line[end - 1]))
            break;
        ++end;
    }
    *value = trimmed(line.substr(at, end - at));
    at = end;
    return true;
}

// The values after the = of `line`, from `at`.
bool readValues(const std::string& line, size_t at, ConfigItem* item, std::string* why)
{
    skipBlanks(line, at);
    if (at < line.size() && line[at] == '[') {
        item->list = true;
        ++at;
        skipBlanks(line, at);
        if (at < line.size() && line[at] == ']') {
            ++at;
        } else {
            for (;;) {
                std::string value;
                if (!readValue(line, at, true, &value, why))
                    return false;
                item->values.push_back(value);
                skipBlanks(line, at);
                if (at < line.size() && line[at] == ',') {
                    ++at;
                    continue;
                }
                if (at < line.size() && line[at] == ']') {
                    ++at;
                    break;
                }
                *why = "the list has no closing ]";
                return false;
            }
        }
    } else {
        std::string value;
        if (!readValue(line, at, false, &value, why))
            return false;
        item->values.push_back(value);
    }
    skipBlanks(line, at);
    if (at < line.size() && line[at] != '#' && line[at] != ';') {
        *why = "there is more after the value: \"" + line.substr(at) + "\"";
        return false;
    }
    return true;
}

} // namespace

bool sectionOfLine(const std::string& line, std::string* user)
{
    size_t at = 0;
    skipBlanks(line, at);
    if (at >= line.size() || line[at] != '[')
        return false;
    user->clear();
    const std::string prefix = "[user";
    if (line.compare(at, prefix.size(), prefix) != 0)
        return true;
    at += prefix.size();
    skipBlanks(line, at);
    std::string why, name;
    if (at < line.size() && line[at] == '"' && readQuoted(line, at, &name, &why)) {
        skipBlanks(line, at);
        if (at < line.size() && line[at] == ']')
            *user = name;
    }
    return true;
}

std::vector<ConfigItem> readConfigText(const std::string& text)
{
    std::vector<ConfigItem> items;
    std::string user;
    bool otherSection = false;
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string content = trimmed(line);
        if (content.empty() || content[0] == '#' || content[0] == ';')
            continue;
        if (sectionOfLine(content, &user)) {
            otherSection = user.empty();
            continue;
        }
        ConfigItem item;
        item.line = number;
        item.user = user;
        size_t equals = content.find('=');
        if (equals == std::string::npos) {
            // A flag alone on its line is set.
            item.option = content;
            item.values = {"true"};
        } else {
            item.option = trimmed(content.substr(0, equals));
            readValues(content, equals + 1, &item, &item.error);
        }
        if (otherSection && item.error.empty())
            item.error = "it is in a section this program does not know";
        items.push_back(item);
    }
    return items;
}

std::string configValue(const std::string& text)
{
    // Flags read their words bare.
    if (text == "true" || text == "false")
        return text;
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (unsigned char c : text) {
        if (char letter = escapeLetter(char(c))) {
            out += '\\';
            out += letter;
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string configLine(const std::string& option, const std::vector<std::string>& values, bool list)
{
    std::string joined;
    for (const std::string& value : values)
        joined += (joined.empty() ? "" : ", ") + configValue(value);
    return option + " = " + (list ? "[" + joined + "]" : joined);
}

std::string userSectionHeader(const std::string& user)
{
    // Always quoted: a user named "true" has a section of their own too.
    return "[user " + (user == "true" || user == "false" ? "\"" + user + "\"" : configValue(user)) + "]";
}

std::string optionOfLine(const std::string& line)
{
    std::vector<ConfigItem> items = readConfigText(line);
    return items.empty() ? std::string() : items.front().option;
}

std::string userConfigFile()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config && *config) {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home)
            return std::string();
        base = std::string(home) + "/.config";
    }
    return base + "/seafold/seafold.conf";
}

} // namespace seafold
