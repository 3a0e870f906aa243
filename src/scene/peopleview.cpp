#include "scene/peopleview.h"
#include "session/endcode.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace seafold {

bool VoiceActivity::playing(uint64_t userId, uint32_t nowMs) const
{
    auto it = mLastHeard.find(userId);
    // Unsigned difference: right across the wrap of the millisecond clock.
    return it != mLastHeard.end() && uint32_t(nowMs - it->second) < SpeakerMarkHoldMs;
}

void VoiceActivity::keepOnly(const std::vector<uint64_t>& present)
{
    for (auto it = mLastHeard.begin(); it != mLastHeard.end();) {
        if (std::find(present.begin(), present.end(), it->first) == present.end())
            it = mLastHeard.erase(it);
        else
            ++it;
    }
}

const char* const SpeakerMark = "\xe2\x99\xaa ";
const char* const NoSpeakerMark = "   ";

namespace {

// U+00B7 MIDDLE DOT between the parts of a line.
const std::string Separator = " \xc2\xb7 ";

const std::string MeshSuffix = ".mesh";

// Statistics sit under the name they belong to, set in a little.
const std::string StatsIndent = "    ";

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

const LinkHealth& shownLink(const std::map<std::string, LinkHealth>& links, const std::string& key,
                            const LinkHealth& live)
{
    auto it = links.find(key);
    return it == links.end() ? live : it->second;
}

void addWrapped(std::vector<PanelLine>& lines, const std::string& text, LineTone tone,
                const std::string& copies = std::string())
{
    for (std::string& piece : wrapText(text)) {
        lines.push_back({std::move(piece), tone});
        lines.back().copies = copies;
    }
}

} // namespace

std::string modelDisplayName(const std::string& model)
{
    if (model.size() > MeshSuffix.size() &&
        model.compare(model.size() - MeshSuffix.size(), MeshSuffix.size(), MeshSuffix) == 0)
        return model.substr(0, model.size() - MeshSuffix.size());
    return model;
}

std::string linkText(const LinkHealth& link)
{
    char text[96];
    // A round trip under a millisecond still says something on a LAN.
    double rtt = std::isfinite(link.roundTripMs) && link.roundTripMs > 0 ? double(link.roundTripMs) : 0.0;
    if (rtt < 10.0)
        std::snprintf(text, sizeof text, "%.1f ms", rtt);
    else
        std::snprintf(text, sizeof text, "%.0f ms", rtt);
    return text + (", " + std::to_string(link.packetsLost)) + " lost, " + std::to_string(link.queued) + " queued";
}

std::string reasonSentence(const std::string& state, const std::string& reason)
{
    switch (classifyEnd(reason)) {
    case EndCode::Timeout:
        return state == "disconnected" ? "the server stopped answering" : "no answer from the server";
    case EndCode::Shutdown:
        return "the server shut down";
    case EndCode::WrongVersion:
        return "the server runs another version of Seafold";
    case EndCode::Puzzle:
        return "the connection puzzle was not solved in time";
    case EndCode::Replaced:
        return "replaced by a newer connection";
    case EndCode::NothingListens:
        return "nothing answers on that port";
    case EndCode::JoinTimedOut:
        return "the server did not take the join in time";
    case EndCode::ServerForgot:
        return "the server was restarted";
    default:
        return reason;
    }
}

namespace {

const char* const Ellipsis = "\xe2\x80\xa6"; // U+2026

std::string sentence(std::string text)
{
    if (text.empty())
        return text;
    text[0] = char(std::toupper(uint8_t(text[0])));
    const char last = text.back();
    if (last != '.' && last != '!' && last != '?')
        text += '.';
    return text;
}

} // namespace

JoinStatus joinStatus(const std::string& address, const std::string& state, const std::string& reason, bool connected,
                      bool passwordSent)
{
    const std::string again = " Trying again every 5 s; or type another address and press Join.";
    if (state == "failed" || state == "disconnected" || state == "retrying") {
        if (classifyEnd(reason) == EndCode::NothingListens)
            return {"Nothing answers at " + address +
                        ": no server listens on that port. Trying again every second; or type another address and "
                        "press Join.",
                    true};
        const std::string why = reasonSentence(state, reason);
        return {"Could not join " + address + (why.empty() ? "." : ": " + sentence(why)) + again, true};
    }
    if (connected && state == "connected" && reason.empty())
        return {passwordSent ? std::string("Checking the password ") + Ellipsis
                             : "Asking " + address + " to let you in " + Ellipsis,
                false};
    if (!reason.empty())
        return {"Joining " + address + ": " + reasonSentence(state, reason) + " " + Ellipsis, false};
    return {"Joining " + address + " " + Ellipsis, false};
}

PanelLine connectionLine(const std::string& state, const std::string& reason, const std::string& address, bool admitted,
                         bool passwordSent)
{
    const std::string why = reasonSentence(state, reason);
    auto withReason = [&](const std::string& word) { return why.empty() ? word : word + ": " + why; };
    // Connected but silent: how long, in words. Connected is said only once
    // the server has let the user in: a refusal may still come.
    if (state == "connected" && why.empty() && !admitted)
        return {passwordSent ? "checking the password \xe2\x80\xa6" : "asking to join \xe2\x80\xa6", LineTone::Waiting};
    if (state == "connected")
        return why.empty() ? PanelLine{"connected", LineTone::Good} : PanelLine{why, LineTone::Bad};
    if (state == "connecting" || state.empty())
        return {withReason("connecting to " + address), LineTone::Waiting};
    if (state == "retrying")
        return {withReason("retrying"), LineTone::Waiting};
    if (state == "disconnected")
        return {withReason("lost"), LineTone::Bad};
    if (state == "failed")
        return {withReason("failed"), LineTone::Bad};
    return {withReason(state), LineTone::Waiting};
}

std::vector<std::string> wrapText(const std::string& text, size_t width)
{
    // Widths count characters (UTF-8 sequences), not bytes.
    auto characters = [](const std::string& piece) {
        size_t count = 0;
        for (char c : piece)
            count += isContinuationByte(c) ? 0 : 1;
        return count;
    };
    size_t lead = text.find_first_not_of(' ');
    if (lead == std::string::npos || characters(text) <= width || width < 8)
        return {text};
    // Continuation pieces stand in line with the first, two further in.
    const std::string indent(lead + 2, ' ');

    std::vector<std::string> pieces;
    std::string prefix;
    size_t start = 0;
    while (start < text.size()) {
        size_t room = width - characters(prefix);
        // The byte where `room` characters from `start` end.
        size_t end = start, count = 0;
        while (end < text.size() && count < room) {
            ++end;
            while (end < text.size() && isContinuationByte(text[end]))
                ++end;
            ++count;
        }
        if (end >= text.size()) {
            pieces.push_back(prefix + text.substr(start));
            break;
        }
        // Back to the last space inside the piece, if there is one after the
        // leading blanks.
        size_t cut = text.rfind(' ', end);
        if (cut == std::string::npos || cut <= std::max(start, lead))
            cut = end;
        pieces.push_back(prefix + text.substr(start, cut - start));
        start = cut;
        while (start < text.size() && text[start] == ' ')
            ++start;
        prefix = indent;
    }
    return pieces;
}

namespace {

// "NAME · MODEL".
std::string personText(const std::string& name, const std::string& model)
{
    return name + Separator + (model.empty() ? std::string("no model yet") : modelDisplayName(model));
}

// " · muted", " · voice 50%", or nothing at the volume it came with.
std::string voiceText(const PersonStatus& person)
{
    if (person.mutedForAll)
        return std::string(Separator) + "muted for all";
    if (person.muted)
        return std::string(Separator) + "muted";
    const int percent = int(std::lround(person.volume * 100.0f));
    return percent == 100 ? std::string() : std::string(Separator) + "voice " + std::to_string(percent) + "%";
}

} // namespace

std::string joinDetailsText(const SessionStatus& status)
{
    if (status.joinAddresses.empty())
        return std::string();
    std::string text = "Join my Seafold session at ";
    for (size_t i = 0; i < status.joinAddresses.size(); ++i)
        text += (i ? (i + 1 == status.joinAddresses.size() ? " or " : ", ") : "") + status.joinAddresses[i];
    if (!status.keyFingerprint.empty())
        text += " (key fingerprint " + status.keyFingerprint + ")";
    if (status.passwordSet)
        text += "; it asks for a password";
    return text + ".";
}

namespace {

// After the people, what a host listening on every network tells those who
// would join: the addresses others type, network by network (the bound
// 0.0.0.0 tells them nothing), the key's fingerprint, the lock and limit.
void addHostingLines(const SessionStatus& status, std::vector<PanelLine>& lines)
{
    if (status.joinAddresses.empty())
        return;
    // A click on any of these lines copies them all, to paste where the
    // others will read it.
    const std::string copies = joinDetailsText(status);
    addWrapped(lines, NoSpeakerMark + std::string("others join at:"), LineTone::Good, copies);
    for (const std::string& address : status.joinAddresses)
        addWrapped(lines, NoSpeakerMark + ("  " + address), LineTone::Good, copies);
    if (!status.keyFingerprint.empty())
        addWrapped(lines, NoSpeakerMark + ("key " + status.keyFingerprint), LineTone::Detail, copies);
    addWrapped(lines, NoSpeakerMark + std::string(ClickToCopy), LineTone::Detail, copies);
    addWrapped(lines,
               NoSpeakerMark + std::string(status.passwordSet ? "password needed" : "no password") +
                   (status.userLimit ? ", up to " + std::to_string(status.userLimit) + " users" : ""),
               LineTone::Detail);
}

} // namespace

std::vector<PanelLine> peopleLines(const SessionStatus& status, const std::string& ownModel,
                                   const std::function<bool(uint64_t userId)>& speaking,
                                   const std::map<std::string, LinkHealth>& links)
{
    std::vector<PanelLine> lines;
    bool isClient = !status.hosting && (!status.connection.empty() || !status.userName.empty());
    // This user first: the name and model, then where the session is.
    std::string own =
        (status.userName.empty() ? std::string("server") : status.userName) + (status.ownDeafened ? " (you, deafened)"
                                                                               : status.ownMuted  ? " (you, muted)"
                                                                                                  : " (you)");
    addWrapped(lines, NoSpeakerMark + personText(own, ownModel), LineTone::Own);
    if (isClient) {
        PanelLine state =
            connectionLine(status.connection, status.reason, status.address, status.admitted, status.passwordSent);
        addWrapped(lines, NoSpeakerMark + state.text, state.tone);
        if (status.hasLink && status.connection == "connected")
            lines.push_back({StatsIndent + linkText(shownLink(links, "", status.link)), LineTone::Detail});
    } else if (status.joinAddresses.empty()) {
        addWrapped(lines, NoSpeakerMark + ("listening on " + status.address), LineTone::Good);
    }

    const bool stale = othersLost(status);
    for (const PersonStatus& person : status.people) {
        bool playing = speaking && speaking(person.id);
        std::string text =
            (playing ? SpeakerMark : NoSpeakerMark) + personText(person.name, person.model) + voiceText(person);
        if (person.hosts)
            text += " (host)";
        // What they chose for themselves; deafened says muted already.
        if (person.deafened)
            text += " (deafened)";
        else if (person.selfMuted)
            text += " (muted)";
        if (stale)
            text += " (lost)";
        const size_t first = lines.size();
        addWrapped(lines, text, stale ? LineTone::Detail : playing ? LineTone::Speaking : LineTone::Normal);
        if (person.hasLink)
            lines.push_back({StatsIndent + linkText(shownLink(links, person.name, person.link)), LineTone::Detail});
        for (size_t i = first; i < lines.size(); ++i)
            lines[i].person = person.name;
    }
    if (status.people.empty())
        lines.push_back({std::string(NoSpeakerMark) + (isClient ? "nobody else is here yet" : "no one has joined yet"),
                         LineTone::Detail});
    if (!isClient)
        addHostingLines(status, lines);
    return lines;
}

bool othersLost(const SessionStatus& status)
{
    const bool isClient = !status.hosting && (!status.connection.empty() || !status.userName.empty());
    return isClient && (status.connection != "connected" || !status.reason.empty());
}

PanelLine talkLine(SessionPort::Microphone microphone, const std::string& problem, const std::string& pushToTalkKey)
{
    switch (microphone) {
    case SessionPort::Microphone::Capturing:
        return {"Talking", LineTone::Good};
    case SessionPort::Microphone::Listening:
        return {"Listening: speak to talk", LineTone::Detail};
    case SessionPort::Microphone::Unavailable:
        return {problem.empty() ? "No microphone" : "No microphone: " + problem, LineTone::Bad};
    case SessionPort::Microphone::Off:
    default:
        return {"Hold " + pushToTalkKey + " to talk", LineTone::Detail};
    }
}

} // namespace seafold
