// The session's listeners: any number, in any order, each hearing every
// event; unsubscribing works, from inside a listener too.
#include "session/simpleeventconnection.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace seafold {
namespace {

// Every kind of event once, as the connections and the link report them.
void reportOneOfEach(Session& session)
{
    session.reportRpc("s2cmakeMovement", Json::array({1.0, 0.0, 0.0, "bob"}));
    session.reportVoice(nullptr, nullptr);
    session.reportSpeaker("alice");
    session.reportConnectionState("connected", "");
    session.reportServerText("Your name is in use here");
}

const std::vector<std::string> OneOfEach = {"rpc s2cmakeMovement", "voice", "speaker alice", "state connected",
                                            "text Your name is in use here"};

SessionListener recorder(std::vector<std::string>& heard)
{
    SessionListener listener;
    listener.onRpc = [&heard](const char* rpc, const Json&) { heard.push_back(std::string("rpc ") + rpc); };
    listener.onVoice = [&heard](SimpleEventConnection*, ByteBuffer*) { heard.push_back("voice"); };
    listener.onSpeaker = [&heard](const std::string& speaker) { heard.push_back("speaker " + speaker); };
    listener.onConnectionState = [&heard](const char* state, const char*) {
        heard.push_back(std::string("state ") + state);
    };
    listener.onServerText = [&heard](const char* text) { heard.push_back(std::string("text ") + text); };
    return listener;
}

// The event log, the server link and the People panel once depended on the
// order two lines set the one observer in; now each subscribes on its own.
TEST(SessionEvents, EverySubscriberHearsEveryEventWhateverTheOrderOfSubscription)
{
    std::vector<int> order = {0, 1, 2};
    do {
        Roster roster;
        Session session(roster, false);
        std::vector<std::string> heard[3];
        for (int who : order)
            session.subscribe(recorder(heard[who]));
        reportOneOfEach(session);
        for (int who = 0; who < 3; ++who)
            EXPECT_EQ(heard[who], OneOfEach)
                << "subscriber " << who << " of order " << order[0] << order[1] << order[2];
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(SessionEvents, AnUnsubscribedListenerHearsNothingMore)
{
    Roster roster;
    Session session(roster, false);
    std::vector<std::string> gone, stays;
    SubscriptionId id = session.subscribe(recorder(gone));
    session.subscribe(recorder(stays));
    session.unsubscribe(id);
    session.unsubscribe(id); // twice: nothing
    reportOneOfEach(session);
    EXPECT_TRUE(gone.empty());
    EXPECT_EQ(stays, OneOfEach);
    session.unsubscribeAll();
    session.reportSpeaker("bob");
    EXPECT_EQ(stays, OneOfEach);
}

TEST(SessionEvents, UnsubscribingInsideAListenerIsSafe)
{
    Roster roster;
    Session session(roster, false);
    std::vector<std::string> heard;
    SubscriptionId self = 0, next = 0;
    int selfCalls = 0;
    SessionListener quitter;
    // Unsubscribes itself and the listener after it, while both are called.
    quitter.onSpeaker = [&](const std::string&) {
        ++selfCalls;
        session.unsubscribe(self);
        session.unsubscribe(next);
    };
    self = session.subscribe(quitter);
    next = session.subscribe(recorder(heard));
    session.subscribe(recorder(heard));
    session.reportSpeaker("alice");
    session.reportSpeaker("bob");
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(heard, (std::vector<std::string>{"speaker alice", "speaker bob"}));
}

// A listener that answers one state with another (the link's "retrying"
// after "failed") must not make a later listener hear them reversed.
TEST(SessionEvents, AnEventRaisedByAListenerComesAfterTheOneUnderWay)
{
    for (bool answererFirst : {true, false}) {
        Roster roster;
        Session session(roster, false);
        std::vector<std::string> heard;
        SessionListener answerer;
        answerer.onConnectionState = [&session](const char* state, const char*) {
            if (std::string(state) == "failed")
                session.reportConnectionState("retrying", "No answer");
        };
        if (answererFirst)
            session.subscribe(answerer);
        session.subscribe(recorder(heard));
        if (!answererFirst)
            session.subscribe(answerer);
        session.reportConnectionState("failed", "No answer");
        EXPECT_EQ(heard, (std::vector<std::string>{"state failed", "state retrying"})) << answererFirst;
    }
}

} // namespace
} // namespace seafold
