// The text of the "People" panel, apart from the GUI so that it can be tested
// without a window: one line per user with their model and a speaker mark
// while their voice plays; for a client its own connection state (with the
// reason when it failed or was lost); the round trip, lost packets and queue
// of each connection; and the push-to-talk line.
#pragma once

#include "scene/sessionport.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace seafold {

// How a line is shown.
enum class LineTone {
    Normal,   // another user
    Own,      // this user, or the server itself
    Speaking, // another user whose voice plays
    Good,     // connected
    Waiting,  // connecting, retrying
    Bad,      // failed, lost
    Detail,   // statistics, hints
};

struct PanelLine {
    PanelLine() = default;
    PanelLine(std::string lineText, LineTone lineTone, std::string about = std::string())
        : text(std::move(lineText)), tone(lineTone), person(std::move(about))
    {
    }
    std::string text;
    LineTone tone = LineTone::Normal;
    std::string person; // the other user the line is about (their name, statistics), else empty
    std::string copies; // what a click on the line puts on the desktop's clipboard, else empty
    bool operator==(const PanelLine& other) const
    {
        return text == other.text && tone == other.tone && person == other.person && copies == other.copies;
    }
};

// Whose voice arrived lately. A speaker counts as playing from a message
// until SpeakerMarkHoldMs after the latest one: messages come every 100 ms while
// someone talks (paced sending can hold one back a little), so the mark does
// not flicker between them and goes out soon after the speaker stops. That
// holds with or without a sound device.
class VoiceActivity {
public:
    static constexpr uint32_t SpeakerMarkHoldMs = 400;

    // By roster entry (ClientRecord::id): a name can be claimed anew, an
    // entry cannot.
    void heard(uint64_t userId, uint32_t nowMs) { mLastHeard[userId] = nowMs; }
    bool playing(uint64_t userId, uint32_t nowMs) const;
    // Forgets everyone not among `present` (the users still there).
    void keepOnly(const std::vector<uint64_t>& present);
    size_t size() const { return mLastHeard.size(); }
    void clear() { mLastHeard.clear(); }

private:
    std::map<uint64_t, uint32_t> mLastHeard;
};

// Shown before the name of a user whose voice plays (U+266A EIGHTH NOTE),
// and the blanks that keep the other names in line with it.
extern const char* const SpeakerMark;
extern const char* const NoSpeakerMark;

// Lines of text are cut into pieces of at most this many characters (at
// spaces where there are any) so that they fit the panel.
constexpr size_t PanelLineCharacters = 30;

// `model` as the panel names it: the mesh name without ".mesh".
std::string modelDisplayName(const std::string& model);

// "12 ms, 0 lost, 3 queued".
std::string linkText(const LinkHealth& link);

// A reason the connection layer gives, as words for the user: the codes
// ("Timeout", "Shutdown", ...) become sentences, other texts stay.
std::string reasonSentence(const std::string& state, const std::string& reason);

// The state line of a client's connection: "connected" (the title says where),
// "no reply for N s" (connected, with that reason), "connecting to ADDRESS"
// (with the time waited, if any), "lost: REASON", "failed: REASON",
// "retrying"; another state is shown as it came.
// A link that is up but whose server has not let the user in yet
// (`admitted` false) says what it waits for: "checking the password ..."
// (`passwordSent`) or "asking to join ...".
PanelLine connectionLine(const std::string& state, const std::string& reason, const std::string& address,
                         bool admitted = true, bool passwordSent = false);

// The start window's line while a join of `address` is under way, from
// what the link last said (`state`, `reason`), whether the link is up
// (`connected`) and whether a password went with the join. Every reason is
// a sentence; `problem` when it tells of a failure.
struct JoinStatus {
    std::string text;
    bool problem = false;
};
JoinStatus joinStatus(const std::string& address, const std::string& state, const std::string& reason, bool connected,
                      bool passwordSent);

// Cuts `text` into pieces of at most `width` characters, at spaces where it
// can and never inside a UTF-8 sequence; continuation pieces are indented two
// characters more than the first.
std::vector<std::string> wrapText(const std::string& text, size_t width = PanelLineCharacters);

// Every line of the panel for `status`, with `ownModel` the mesh this user
// shows (empty when none). `speaking` tells whether a user's
// voice plays, by roster entry; `links`, when it holds an entry for a connection ("" for the
// client's own, else the user's name), gives the statistics to show instead
// of the live ones (the panel refreshes them about once a second).
// True when what a client knows of the others is stale: its server is
// silent or gone. They are then shown as lost (greyed, in the panel and in
// the scene) until it answers again or the connection ends.
bool othersLost(const SessionStatus& status);

// The line under a host's addresses that says a click copies them; the
// panel says in its place for a moment that they were copied.
constexpr const char* ClickToCopy = "click to copy these lines";

// What a host copies for those who would join: the addresses, the key's
// fingerprint and whether a password is asked, as one sentence; empty when
// nobody can join at an address yet.
std::string joinDetailsText(const SessionStatus& status);

std::vector<PanelLine> peopleLines(const SessionStatus& status, const std::string& ownModel,
                                   const std::function<bool(uint64_t userId)>& speaking,
                                   const std::map<std::string, LinkHealth>& links = {});

// The talk line: "Hold R to talk", "Talking", "Listening: speak to talk"
// (voice activation waiting for speech), "No microphone: " and why.
PanelLine talkLine(SessionPort::Microphone microphone, const std::string& problem = std::string(),
                   const std::string& pushToTalkKey = "R");

} // namespace seafold
