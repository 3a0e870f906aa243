// A client's voice as the server takes it on that client's connection:
// who speaks is the roster's name of the connection's user, never the name
// a message claims (a client could otherwise speak as anyone, and be placed
// at their model); a connection that never joined is not heard. Each
// message is checked against what one sender may have relayed, played by
// the server itself (ClientVoice) and handed to the relay: LPC-10 within the
// sender's fair share (SenderRelays), Opus frames at once, unguaranteed.
//
// Main thread only.
#pragma once

#include <cstdint>

#include "session/clientvoice.h"

namespace seafold {

class SimpleEventConnection;

class VoiceIntake {
public:
    explicit VoiceIntake(SimpleEventConnection& connection) : mConnection(connection) {}
    VoiceIntake(const VoiceIntake&) = delete;
    VoiceIntake& operator=(const VoiceIntake&) = delete;

    // c2sVoice: LPC-10 as sent.
    void receive(bool echoToSender, const RefPtr<ByteBuffer>& data);
    // c2sVoiceFrames: Opus frames numbered from `sequence`.
    void receiveFrames(uint32_t codec, uint32_t sequence, bool endsSpurt, const RefPtr<ByteBuffer>& frames);
    // Once per main-loop pass: this client's Opus voice due by `nowMs`
    // played, and relayed in LPC-10 to the clients of version 0.
    void service(uint32_t nowMs);

    const ClientVoice& voice() const { return mVoice; }

private:
    SimpleEventConnection& mConnection;
    ClientVoice mVoice;
};

} // namespace seafold
