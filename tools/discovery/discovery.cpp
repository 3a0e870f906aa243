// seafold-discovery: the discovery responder and finder on their own, for
// tests and measurements on a real network.
//
//   seafold-discovery respond SESSION_ADDRESS NAME [USERS] [--port N] [--seconds S]
//   seafold-discovery find [SECONDS] [--port N] [--to ADDRESS]...
//
// respond answers for a session at SESSION_ADDRESS (nothing need listen
// there) until SIGINT/SIGTERM or S seconds, then prints its counters as one
// JSON line. find searches for SECONDS (default 1) and prints one JSON line
// per server found and a last line with the count and the milliseconds from
// the first query to the first answer; it exits 0 when something answered
// and 1 otherwise. --to replaces the default destinations.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/platform.h"
#include "session/discovery.h"

using namespace seafold;

namespace {

std::atomic<bool> gStop{false};

void onSignal(int)
{
    gStop = true;
}

int usage()
{
    std::fprintf(stderr, "usage: seafold-discovery respond SESSION_ADDRESS NAME [USERS] [--port N] [--seconds S]\n"
                         "       seafold-discovery find [SECONDS] [--port N] [--to ADDRESS]...\n");
    return 2;
}

bool readNumber(const std::string& text, double low, double high, double* out)
{
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= low && value <= high))
        return false;
    *out = value;
    return true;
}

// JSON string of a cleaned name: only quotes and backslashes need escaping,
// since cleaning leaves no control characters.
std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> words;
    double port = DefaultDiscoveryPort, seconds = -1;
    std::vector<NetAddress> targets;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--port" || arg == "--seconds" || arg == "--to") && i + 1 >= argc)
            return usage();
        if (arg == "--port") {
            if (!readNumber(argv[++i], 0, 65535, &port))
                return usage();
        } else if (arg == "--seconds") {
            if (!readNumber(argv[++i], 0, 3600, &seconds))
                return usage();
        } else if (arg == "--to") {
            NetAddress target;
            if (!target.parse(argv[++i]) || target.port == 0)
                return usage();
            targets.push_back(target);
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty())
        return usage();

    if (words[0] == "respond") {
        NetAddress session;
        double users = 0;
        if (words.size() < 3 || words.size() > 4 || !session.parse(words[1].c_str()) || session.port == 0 ||
            (words.size() == 4 && !readNumber(words[3], 0, 65535, &users)))
            return usage();
        DiscoveryResponder responder(
            session, words[2], [users] { return uint32_t(users); }, uint16_t(port));
        if (!responder.open()) {
            std::fprintf(stderr, "seafold-discovery: cannot listen on %s\n", responder.listenAddress().toText());
            return 1;
        }
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::printf("{\"listening\": \"%s\"}\n", responder.boundAddress().toText());
        std::fflush(stdout);
        const uint32_t start = getRealMilliseconds();
        while (!gStop && (seconds < 0 || getRealMilliseconds() - start < uint32_t(seconds * 1000))) {
            responder.service();
            sleepMilliseconds(1);
        }
        const DiscoveryResponder::Counters& c = responder.counters();
        std::printf("{\"answered\": %u, \"malformed\": %u, \"limited\": %u}\n", c.answered, c.malformed, c.limited);
        return 0;
    }

    if (words[0] == "find") {
        double span = 1.0;
        if (words.size() > 2 || (words.size() == 2 && !readNumber(words[1], 0, 3600, &span)))
            return usage();
        DiscoveryFinder finder{uint16_t(port)};
        if (!targets.empty())
            finder.setTargets(targets);
        std::vector<FoundServer> found = finder.find(span);
        for (const FoundServer& server : found)
            std::printf("{\"address\": \"%s\", \"name\": %s, \"users\": %u}\n", server.address.toText(),
                        quoted(server.name).c_str(), server.users);
        std::printf("{\"servers\": %zu, \"first_answer_ms\": %lld}\n", found.size(),
                    static_cast<long long>(finder.firstAnswerMs()));
        return found.empty() ? 1 : 0;
    }
    return usage();
}
