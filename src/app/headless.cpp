#include "app/headless.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "app/console.h"
#include "app/lan.h"
#include "app/network.h"
#include "app/serverlink.h"
#include "session/eventlog.h"
#include "session/headlessscene.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

namespace seafold {

namespace {

// The display-less front end: no frame to draw; it plays the scripted user
// and ends the loop on a signal or after the given time.
class HeadlessDriver : public FrameDriver {
public:
    HeadlessDriver(const HeadlessOptions& options, const SessionHost& host) : mOptions(options), mHost(host) {}
    void setSpeechLengthMs(uint32_t ms) { mSpeechLengthMs = ms; }

    bool runGuarded(const std::function<void()>& region) override
    {
        region();
        return true;
    }
    bool setUp() override { return true; }
    void startRendering() override { mStart = getRealMilliseconds(); }
    void shutDown() override {}

    bool renderOneFrame() override
    {
        uint32_t now = getRealMilliseconds();
        if (stopRequested())
            return true;
        if (mOptions.quitAfterSeconds >= 0 && double(now - mStart) >= mOptions.quitAfterSeconds * 1000.0)
            return true;
        if (mHost.isClient() && serverConnection() && serverConnection()->isEstablished())
            playUser(now);
        if (mSpeechArmed)
            updateSpeech(now);
        if (mOptions.statsEveryMs && uint32_t(now - mLastStats) >= mOptions.statsEveryMs) {
            mLastStats = now;
            printStats();
        }
        return false;
    }

private:
    void playUser(uint32_t now)
    {
        // A new connection (the link tried again): the server knows nothing
        // of this user yet, so the script plays from the start.
        if (mPlayedAttempt != mHost.link().attempts()) {
            mPlayedAttempt = mHost.link().attempts();
            mPicked = false;
            mNextMove = 0;
            mYawDegrees = 0;
        }
        if (!mPicked) {
            mPicked = true;
            if (!mOptions.model.empty())
                serverConnection()->c2sEntitySelection(StringPtr(mOptions.model.c_str()));
            if (!mOptions.say.empty() && !serverConnection()->sendChat(mOptions.say))
                consoleLine("The chat line was not sent: this server does not take chat.");
            mLastMove = now;
            if (mOptions.moveEveryMs == 0) {
                for (auto& m : mOptions.moves)
                    serverConnection()->c2smakeMovement(m.dx, m.dy, m.dz);
            }
            if (!mOptions.speakFile.empty()) {
                mSpeechArmed = true;
                mNextSpeech = now;
            }
            if (!mOptions.voice.empty()) {
                RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(mOptions.voice.size()));
                std::copy(mOptions.voice.begin(), mOptions.voice.end(), data->data());
                serverConnection()->c2sVoice(false, data, StringPtr(appSession().ownName().c_str()));
            }
            return;
        }
        if (mOptions.moveEveryMs == 0 || (mOptions.moves.empty() && mOptions.turnDegrees == 0))
            return;
        while (uint32_t(now - mLastMove) >= mOptions.moveEveryMs) {
            mLastMove += mOptions.moveEveryMs;
            if (!mOptions.moves.empty()) {
                const auto& m = mOptions.moves[mNextMove++ % mOptions.moves.size()];
                serverConnection()->sendMovement(m.dx, m.dy, m.dz);
            }
            if (mOptions.turnDegrees != 0) {
                mYawDegrees = std::remainder(mYawDegrees + mOptions.turnDegrees, 360.0);
                serverConnection()->sendOrientation(Orientation::fromYawDegrees(mYawDegrees));
            }
        }
    }

    // Push-to-talk held through the file capture back end for the length of
    // the file, once or every --speak-every seconds.
    void updateSpeech(uint32_t now)
    {
        if (mSpeaking) {
            if (uint32_t(now - mSpeechStart) < mSpeechLengthMs)
                return;
            mHost.audio().capture.stop();
            mSpeaking = false;
            gEventLog.write(Json{{"speak", "stop"}});
            if (mOptions.speakEverySeconds <= 0) {
                mSpeechArmed = false;
                return;
            }
            mNextSpeech = mSpeechStart + uint32_t(mOptions.speakEverySeconds * 1000.0);
            if (int32_t(mNextSpeech - now) < 0)
                mNextSpeech = now;
            return;
        }
        if (int32_t(now - mNextSpeech) < 0)
            return;
        mSpeechStart = now;
        VoiceCapture& capture = mHost.audio().capture;
        capture.start();
        mSpeaking = capture.active();
        if (mSpeaking)
            gEventLog.write(Json{{"speak", "start"}});
        else
            gEventLog.write(Json{{"speak", "failed"}, {"why", capture.failure()}});
        tellCaptureFailure(capture);
        if (!mSpeaking)
            mSpeechArmed = false;
    }

    // One line: every connection's round trip, packets, losses and queues.
    static void printStats()
    {
        if (!gNetInterface)
            return;
        Json all = Json::array();
        for (auto& c : gNetInterface->connections()) {
            auto* connection = static_cast<SimpleEventConnection*>(c.get());
            const NetConnection::Stats& st = connection->stats();
            EventConnection::QueueDepths q = connection->queueDepths();
            ClientRecord* record = gClients.findByConnection(connection);
            Json one;
            one["peer"] = connection->address().toText();
            one["name"] = record ? Json(jsonText(record->name)) : Json(nullptr);
            // A tenth of a millisecond is all a round trip on a LAN says.
            one["rtt_ms"] = std::round(double(st.roundTripMs) * 10.0) / 10.0;
            one["packets_sent"] = st.packetsSent;
            one["packets_received"] = st.packetsReceived;
            one["packets_delivered"] = st.packetsDelivered;
            one["packets_dropped"] = st.packetsDropped;
            one["packets_rejected"] = st.packetsRejected; // failed the seal check (--secure)
            one["bytes_sent"] = uint64_t(st.bytesSent);
            // How the rate is set: "adaptive" between Seafold peers (with
            // its congestion window, in packets), "fixed" with a peer of
            // version 0; and what actually went out over the last second.
            one["mode"] = connection->adaptiveByHandshake() ? "adaptive" : "fixed";
            if (connection->adaptiveByHandshake()) {
                one["window"] = std::round(double(connection->congestionWindow()) * 10.0) / 10.0;
                // Below the window's floor: the gap kept between packets.
                one["pace_ms"] = std::round(double(connection->queuePaceMs()) * 10.0) / 10.0;
            } else
                one["interval_ms"] = connection->sendInterval();
            one["send_bytes_per_s"] = std::lround(double(st.sendBytesPerSecond));
            one["queued"] = q.orderedSend + q.unorderedSend;
            one["in_flight"] = q.awaitingDelivery;
            all.push_back(one);
        }
        // Each voice being played: how often it ran dry in the middle of
        // speech, and how much is queued; a voice through a jitter buffer
        // (Opus) counts the frames it made up and its own underruns, and
        // says how long it holds frames back. A voice this listener muted
        // is heard by nobody here: none of its frames count as played; nor
        // do any while this user is deafened.
        Json voices = Json::array();
        const bool deafened = appSession().deafened();
        forEachVoiceStream(appSession(), [&](const std::string& speaker, const ClientRecord*, SFXObject& stream) {
            const bool muted = deafened || appSession().listenerVolumes().muted(speaker);
            Json one{{"speaker", jsonText(speaker)},
                     {"muted", muted},
                     {"underruns", stream.voiceUnderruns()},
                     {"queued_ms", stream.queuedVoiceSamples() / (stream.voiceRate() / 1000)}};
            if (const VoicePlayout* playout = voicePlayoutOf(appSession(), speaker)) {
                const JitterStats& jitter = playout->stats();
                one["underruns"] = jitter.underruns + stream.voiceUnderruns();
                one["concealed"] = jitter.concealed;
                one["played"] = muted ? 0 : jitter.played;
                one["late"] = jitter.late;
                one["repaired"] = jitter.repaired;
                one["drained"] = jitter.drained + playout->skipped();
                one["target_ms"] = playout->targetMs();
            }
            voices.push_back(one);
        });
        // Statistics go to standard output with or without --events.
        writeJsonLine(
            stdout,
            Json{{"stats", all}, {"voice", voices}, {"muted", appSession().ownMuted()}, {"deafened", deafened}});
    }

    const HeadlessOptions& mOptions;
    const SessionHost& mHost;
    uint32_t mLastStats = 0;
    uint32_t mStart = 0;
    bool mPicked = false;
    uint32_t mPlayedAttempt = 0;
    uint32_t mLastMove = 0;
    size_t mNextMove = 0;
    double mYawDegrees = 0; // the model's heading, turned by --turn
    bool mSpeechArmed = false;
    bool mSpeaking = false;
    uint32_t mSpeechStart = 0;
    uint32_t mNextSpeech = 0;
    uint32_t mSpeechLengthMs = 0;
};

} // namespace

int runHeadless(const ProgramOptions& programOptions)
{
    const HeadlessOptions& options = programOptions.headless;
    Console console(Program::Headless, programOptions.shared);
    if (programOptions.line.find)
        return runFind(programOptions.line, programOptions.shared);
    installStopSignals();
    std::signal(SIGPIPE, SIG_IGN);

    // Declared before the host, which clears the scene's observer as it goes.
    HeadlessScene scene;
    Audio audio;
    SessionHost host(programOptions, scene, audio);
    if (options.events) {
        gEventLog.openStream(stdout);
        gEventLog.watch(appSession(), scene);
        // The JSON lines own standard output.
        console.setStream(stderr);
    }

    HeadlessDriver driver(options, host);
    if (!options.speakFile.empty())
        driver.setSpeechLengthMs(captureFileMs(options.speakFile));
    chooseAudioDevices(audio, programOptions);
    host.setScriptedSpeech(!options.speakFile.empty());
    LoopHooks hooks = standardLoopHooks(host);
    if (options.events) {
        // When the output device opened: the start of what it plays.
        hooks.initSound = [&audio] {
            gEventLog.write(Json{{"sound", initSoundQuietly(audio.sound, audio.soundSetup)}});
        };
    }
    // -client auto looks for its server first; several end the program.
    CommandLine line = programOptions.line;
    int code = host.findServerToJoin(&line);
    if (code < 0)
        code = runApplication(line, driver, hooks);
    gEventLog.close();
    return code;
}

} // namespace seafold
