// A client's end of its connection to the server: what the server relays
// is applied to the client's session (its roster, scene, voices and chat),
// and the session hears how the connection fares. A client does not react
// to losing the server beyond forgetting the connection and telling the
// user why the server ended it.
//
// Main thread only.
#pragma once

#include <cstdint>

#include "net/rpc.h"

namespace seafold {

class SimpleEventConnection;

class ClientEnd {
public:
    explicit ClientEnd(SimpleEventConnection& connection) : mConnection(connection) {}
    ClientEnd(const ClientEnd&) = delete;
    ClientEnd& operator=(const ClientEnd&) = delete;

    // ---- how the connection fares ----
    // Connected: the server introduces everyone anew on every connection,
    // so what an earlier one left in the roster goes (before `greet` runs:
    // the first calls of this connection), then the session hears of it.
    template <class Greet> void established(Greet greet)
    {
        forgetRoster();
        greet();
        report("connected", "");
    }
    void connectFailed(const char* message) { ended("failed", message); }
    void disconnected(uint32_t reason, const char* message);
    // The server's words for the user.
    void showServerText(const char* text);

    // ---- what the server relays ----
    void introduce(const StringPtr& name);
    void leave(const StringPtr& name);
    void showModel(const StringPtr& entityName, double x, double y, double z, const StringPtr& clientName);
    void move(double dx, double dy, double dz, const StringPtr& clientName);
    void turn(double w, double x, double y, double z, const StringPtr& clientName);
    void confirmName(const StringPtr& name);
    void mark(const StringPtr& name, uint32_t marks);
    void playVoice(const RefPtr<ByteBuffer>& data, const StringPtr& speaker);
    void playVoiceFrames(uint32_t codec, uint32_t sequence, bool endsSpurt, const RefPtr<ByteBuffer>& frames,
                         const StringPtr& speaker);
    void chat(const StringPtr& sender, const RefPtr<ByteBuffer>& data);
    // The server's own words (s2cServerNotice), shown as such.
    void serverNotice(const RefPtr<ByteBuffer>& data);

private:
    void forgetRoster();
    void report(const char* state, const char* reason);
    // The attempt failed or the connection ended: no sender may post on it
    // any more.
    void ended(const char* state, const char* reason);

    SimpleEventConnection& mConnection;
};

} // namespace seafold
