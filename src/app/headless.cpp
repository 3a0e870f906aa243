#include "app/headless.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/network.h"
#include "session/eventlog.h"
#include "session/headlessscene.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

namespace seafold {

const char* const kHeadlessUsage =
    "usage: seafold-headless (server ADDRESS | -client ADDRESS NAME) [--model NAME] [--move DX,DY,DZ]... "
    "[--move-every MS] [--quit-after SECONDS] [--events] [--voice HEX] [--net-sim DROP,DUP,MINMS,MAXMS] "
    "[--ping-interval MS] [--stats MS] [--speak FILE.wav] [--speak-every SECONDS]";

namespace {

bool parseNumber(const std::string& text, double* value)
{
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == 0 && std::isfinite(*value);
}

bool parseMove(const std::string& text, HeadlessOptions::Move* move)
{
    size_t a = text.find(','), b = a == std::string::npos ? a : text.find(',', a + 1);
    if (b == std::string::npos)
        return false;
    return parseNumber(text.substr(0, a), &move->dx) && parseNumber(text.substr(a + 1, b - a - 1), &move->dy) &&
           parseNumber(text.substr(b + 1), &move->dz);
}

} // namespace

bool parseHeadlessOptions(const std::vector<std::string>& args, HeadlessOptions* options, std::string* error)
{
    std::vector<std::string> tokens;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.compare(0, 2, "--") != 0) {
            tokens.push_back(arg);
            continue;
        }
        bool hasValue = i + 1 < args.size();
        const std::string value = hasValue ? args[i + 1] : std::string();
        auto needValue = [&]() {
            if (!hasValue)
                *error = "option " + arg + " needs a value";
            return hasValue;
        };
        if (arg == "--events") {
            options->events = true;
        } else if (arg == "--model") {
            if (!needValue())
                return false;
            options->model = value;
            ++i;
        } else if (arg == "--move") {
            HeadlessOptions::Move move;
            if (!needValue())
                return false;
            if (!parseMove(value, &move)) {
                *error = "--move takes DX,DY,DZ, not \"" + value + "\"";
                return false;
            }
            options->moves.push_back(move);
            ++i;
        } else if (arg == "--move-every") {
            double ms;
            if (!needValue())
                return false;
            if (!parseNumber(value, &ms) || ms < 1 || ms > 3600000) {
                *error = "--move-every takes milliseconds (1 to 3600000), not \"" + value + "\"";
                return false;
            }
            options->moveEveryMs = uint32_t(ms);
            ++i;
        } else if (arg == "--quit-after") {
            double seconds;
            if (!needValue())
                return false;
            if (!parseNumber(value, &seconds) || seconds < 0) {
                *error = "--quit-after takes seconds, not \"" + value + "\"";
                return false;
            }
            options->quitAfterSeconds = seconds;
            ++i;
        } else if (arg == "--ping-interval") {
            double ms;
            if (!needValue())
                return false;
            if (!parseNumber(value, &ms) || ms < 10 || ms > 600000) {
                *error = "--ping-interval takes milliseconds (10 to 600000), not \"" + value + "\"";
                return false;
            }
            options->pingIntervalMs = uint32_t(ms);
            ++i;
        } else if (arg == "--voice") {
            if (!needValue())
                return false;
            options->voice.clear();
            bool ok = value.size() % 2 == 0 && !value.empty() && value.size() <= 2 * 1023;
            for (size_t k = 0; ok && k < value.size(); k += 2) {
                char* end = nullptr;
                std::string pair = value.substr(k, 2);
                long byte = std::strtol(pair.c_str(), &end, 16);
                ok = end && *end == 0 && std::isxdigit(uint8_t(pair[0])) && std::isxdigit(uint8_t(pair[1]));
                options->voice.push_back(uint8_t(byte));
            }
            if (!ok) {
                *error = "--voice takes 1 to 1023 bytes in hex, not \"" + value + "\"";
                return false;
            }
            ++i;
        } else if (arg == "--stats") {
            double ms;
            if (!needValue())
                return false;
            if (!parseNumber(value, &ms) || ms < 10 || ms > 3600000) {
                *error = "--stats takes milliseconds (10 to 3600000), not \"" + value + "\"";
                return false;
            }
            options->statsEveryMs = uint32_t(ms);
            ++i;
        } else if (arg == "--speak") {
            if (!needValue())
                return false;
            std::string why;
            if (!checkCaptureFile(value, &why)) {
                *error = "--speak: " + why;
                return false;
            }
            options->speakFile = value;
            ++i;
        } else if (arg == "--speak-every") {
            double seconds;
            if (!needValue())
                return false;
            if (!parseNumber(value, &seconds) || seconds < 0.1 || seconds > 3600) {
                *error = "--speak-every takes seconds (0.1 to 3600), not \"" + value + "\"";
                return false;
            }
            options->speakEverySeconds = seconds;
            ++i;
        } else if (arg == "--net-sim") {
            if (!needValue())
                return false;
            if (!parseNetworkSimulation(value, &options->simulation)) {
                *error = "--net-sim takes DROP%,DUP%,MINMS,MAXMS, not \"" + value + "\"";
                return false;
            }
            options->simulate = true;
            ++i;
        } else {
            *error = "unknown option " + arg;
            return false;
        }
    }
    std::string line;
    for (auto& t : tokens)
        line += (line.empty() ? "" : " ") + t;
    options->commandLine = line;
    CommandLine parsed = parseCommandLine(line);
    if (!checkNetworkAddress(parsed, error))
        return false;
    if (!options->speakFile.empty() && !parsed.isClient) {
        *error = "--speak needs -client: the server does not speak";
        return false;
    }
    if (options->speakEverySeconds > 0 && options->speakFile.empty()) {
        *error = "--speak-every needs --speak FILE.wav";
        return false;
    }
    return true;
}

namespace {

std::atomic<bool> gStopRequested{false};

void onSignal(int)
{
    gStopRequested = true;
}

// The display-less front end: no frame to draw; it plays the scripted user
// and ends the loop on a signal or after the given time.
class HeadlessDriver : public FrameDriver {
public:
    explicit HeadlessDriver(const HeadlessOptions& options) : mOptions(options) {}
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
        if (gStopRequested)
            return true;
        if (mOptions.quitAfterSeconds >= 0 && double(now - mStart) >= mOptions.quitAfterSeconds * 1000.0)
            return true;
        if (gIsClient && gConnectionToServer && gConnectionToServer->isEstablished())
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
        if (!mPicked) {
            mPicked = true;
            if (!mOptions.model.empty())
                gConnectionToServer->c2sEntitySelection(StringPtr(mOptions.model.c_str()));
            mLastMove = now;
            if (mOptions.moveEveryMs == 0) {
                for (auto& m : mOptions.moves)
                    gConnectionToServer->c2smakeMovement(m.dx, m.dy, m.dz);
            }
            if (!mOptions.speakFile.empty()) {
                mSpeechArmed = true;
                mNextSpeech = now;
            }
            if (!mOptions.voice.empty()) {
                RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(mOptions.voice.size()));
                std::copy(mOptions.voice.begin(), mOptions.voice.end(), data->data());
                gConnectionToServer->c2sVoice(false, data, StringPtr(gClientName.c_str()));
            }
            return;
        }
        if (mOptions.moveEveryMs == 0 || mOptions.moves.empty())
            return;
        while (uint32_t(now - mLastMove) >= mOptions.moveEveryMs) {
            mLastMove += mOptions.moveEveryMs;
            const auto& m = mOptions.moves[mNextMove++ % mOptions.moves.size()];
            gConnectionToServer->c2smakeMovement(m.dx, m.dy, m.dz);
        }
    }

    // Push-to-talk held through the file capture back end for the length of
    // the file, once or every --speak-every seconds.
    void updateSpeech(uint32_t now)
    {
        if (mSpeaking) {
            if (uint32_t(now - mSpeechStart) < mSpeechLengthMs)
                return;
            stopVoiceCapture();
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
        startVoiceCapture();
        mSpeaking = gVoiceCaptureActive;
        gEventLog.write(Json{{"speak", mSpeaking ? "start" : "failed"}});
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
            one["packets_delivered"] = st.packetsDelivered;
            one["packets_dropped"] = st.packetsDropped;
            one["bytes_sent"] = uint64_t(st.bytesSent);
            one["queued"] = q.orderedSend + q.unorderedSend;
            one["in_flight"] = q.awaitingDelivery;
            all.push_back(one);
        }
        // Statistics go to standard output with or without --events.
        writeJsonLine(stdout, Json{{"stats", all}});
    }

    const HeadlessOptions& mOptions;
    uint32_t mLastStats = 0;
    uint32_t mStart = 0;
    bool mPicked = false;
    uint32_t mLastMove = 0;
    size_t mNextMove = 0;
    bool mSpeechArmed = false;
    bool mSpeaking = false;
    uint32_t mSpeechStart = 0;
    uint32_t mNextSpeech = 0;
    uint32_t mSpeechLengthMs = 0;
};

} // namespace

int runHeadless(const HeadlessOptions& options)
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    HeadlessScene scene;
    gClientScene = &scene;
    Session& session = appSession();
    if (options.events) {
        gEventLog.openStream(stdout);
        gEventLog.watch(session, scene);
    }
    if (options.pingIntervalMs)
        session.pingIntervalMs = options.pingIntervalMs;
    if (options.simulate) {
        using namespace std::chrono;
        auto seed = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        setNetworkSimulation(options.simulation, uint32_t(seed));
    }

    HeadlessDriver driver(options);
    if (!options.speakFile.empty()) {
        WaveData speech;
        if (loadWaveFile(options.speakFile, &speech))
            driver.setSpeechLengthMs(uint32_t(uint64_t(speech.data.size() / 2) * 1000 / CaptureSampleRate));
        setCaptureBackend(createFileCaptureBackend(options.speakFile));
    }
    LoopHooks hooks = standardLoopHooks();
    if (options.events) {
        // When the output device opened: the start of what it plays.
        hooks.initSound = [] { gEventLog.write(Json{{"sound", initSound()}}); };
    }
    int code = runApplication(options.commandLine, driver, hooks);
    // Our own shutdown empties the roster: that is no user leaving.
    gEventLog.unwatch(session, scene);
    gEventLog.close();
    stopNetwork();
    gClientScene = nullptr;
    return code;
}

} // namespace seafold
