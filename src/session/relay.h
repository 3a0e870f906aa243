// The server's one relay path: what a user does, applied to the server's own
// state and passed on to every other user, whoever the user is. A client's
// action arrives on its connection (after its fair share, RelayShare); the
// server's own user (HostUser) has none. Both hand the action with their
// roster entry to relayUserAction, so every relay rule (who hears what, in
// which wire version, about whom) holds for both alike.
//
// Receivers by wire version: selections, movements, introductions, leaves
// and LPC-10 voice go to everyone; orientations, chat, marks and Opus
// frames only to peers of version 1; a speaker's Opus voice reaches peers of version 0
// as LPC-10, encoded again by the speaker's one encoder (serviceRelayedVoice).
//
// Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/rpc.h"
#include "session/motionplayout.h"
#include "voice/opuscodec.h"

namespace seafold {

class ByteBuffer;
class ClientVoice;
class Session;
class SimpleEventConnection;
struct ClientRecord;

// One thing a user did, as the relay passes it on.
struct UserAction {
    enum Kind {
        Join,            // the user is new in the roster (always its last entry)
        Select,          // picked the model `text`
        Move,            // moved by (dx, dy, dz)
        Turn,            // now faces `orientation`
        Voice,           // LPC-10 `data` as sent (a client of version 0's)
        VoiceFrames,     // Opus `frames` (of `data`) numbered from `sequence`
        TranscodedVoice, // the speaker's Opus voice as LPC-10 `data`, for peers of version 0
        Chat,            // the line `text`
        Marks,           // the user's own marks are now `marks` (UserMarksOwn)
        Leave,           // the user is gone: the roster entry is removed
    };
    Kind kind = Join;
    std::string text;
    double dx = 0, dy = 0, dz = 0;
    Orientation orientation;
    RefPtr<ByteBuffer> data;
    // Select, Voice: the one event every receiver gets, when the sender's
    // share has built it already to count its bytes.
    RefPtr<RPCEvent> event;
    bool echoToSender = false;                          // Voice: the sender hears itself too
    uint32_t sequence = 0;                              // VoiceFrames
    bool endsSpurt = false;                             // VoiceFrames
    const std::vector<OpusFrameView>* frames = nullptr; // VoiceFrames: `data` split
    ClientVoice* voice = nullptr;                       // VoiceFrames: the sender's voice as the server plays it
    uint32_t nowMs = 0;                                 // VoiceFrames: when they are played
    uint32_t marks = 0;                                 // Marks
};

// `sender`'s action, applied to the server's roster and posted to every
// other user's connection. After Leave `sender` is gone.
void relayUserAction(Session& session, ClientRecord& sender, const UserAction& action);

// Once per main-loop pass for every speaker: plays `voice` due by `nowMs`
// and, while any receiver knows only version 0, relays it as LPC-10.
void serviceRelayedVoice(Session& session, ClientRecord& sender, ClientVoice& voice, uint32_t nowMs);

// True when some user who hears `sender` knows only version 0 of the wire.
bool hasBaseListeners(Session& session, const ClientRecord& sender);

// The receiver of version 1 (not `sender`) with the slowest link, or none.
SimpleEventConnection* slowestSeafoldReceiver(Session& session, const ClientRecord* sender);

} // namespace seafold
