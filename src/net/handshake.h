// What a server keeps so that it can answer handshakes without keeping
// anything for the peer: the client puzzle's server nonces, the secret that
// binds a challenge to the sender's address (the identity token), and each
// source address's allowance of challenge answers.
//
// One per interface; NetInterface owns it and passes its step's time in.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "net/address.h"
#include "net/crypto.h"

namespace seafold {

class HandshakeGuard {
public:
    enum : uint32_t {
        TokenSecretBytes = 12,
        // Challenge answers per source address. A challenge response is
        // larger than the request that asks for it (26 bytes for 10, more
        // with a key), and the source of a request can be forged: answered
        // freely, the server would send a victim more than an attacker
        // spends. Each source address (hashed with a secret salt into one of
        // 4,096 slots) has a byte credit, earned by the bytes of its requests
        // and by 32 bytes a second, kept to at most 512 bytes; an answer is
        // sent only while the credit is above zero and costs its size. So
        // one address never gets more than it sent plus a trickle, a client
        // asking afresh is answered at once, and a flood of forged sources
        // gets back no more bytes than it sends.
        CreditSlots = 4096,
        CreditMaxBytes = 512,
        CreditBytesPerSecond = 32,
        // A minute of silence fills any slot; the bound keeps the sum small.
        CreditRefillLimitMs = 60000,
        // Key agreements, the one costly step of a sealed connect request
        // (about a millisecond each): at most this many a second from one
        // source host, and from all sources together. A request over either
        // is dropped without an answer. A genuine client needs one; the
        // overall limit keeps a flood of many forged hosts to a fifth of a
        // core, and the per-host one keeps one host from using it all up.
        KeyAgreementsPerSecondPerHost = 20,
        KeyAgreementsPerSecond = 200,
        // Answers to reset queries (NetInterface explains them): at most
        // this many a second to one source address (hashed with the secret
        // salt into one of these slots, so the table stays this small
        // whatever the sources) and to all together. A client asks every
        // 300 ms and needs one answer; a flood of forged sources gets no
        // more than the overall cap, each answer smaller than its query.
        ResetAnswerSlots = 256,
        ResetAnswersPerSecondPerSource = 4,
        ResetAnswersPerSecond = 200,
    };

    HandshakeGuard();

    // Called once per step with the step's time. The token secret changes
    // whenever the puzzle's server nonce does; true when they did.
    bool tick(uint32_t now);

    PuzzleManager& puzzleManager() { return mPuzzleManager; }
    const PuzzleManager& puzzleManager() const { return mPuzzleManager; }

    // The token that binds a challenge to the sender's address, made with
    // the current secret. A token made with the secret before still counts
    // until the next change, so a client is never caught by a change
    // mid-handshake, while a token is good for one minute at most.
    uint32_t identityToken(const NetAddress& address, const Nonce& clientNonce) const;
    bool isIdentityTokenValid(const NetAddress& address, const Nonce& clientNonce, uint32_t token) const;

    // Credits the source address of a challenge request with the request's
    // bytes and what it earned since it was last seen; true when it may be
    // answered. The answer's bytes are taken off afterwards with
    // chargeChallengeAnswer, whatever the answer turned out to be.
    bool admitChallengeRequest(const NetAddress& address, uint32_t requestBytes, uint32_t now);
    void chargeChallengeAnswer(const NetAddress& address, uint32_t answerBytes);
    // The same allowance for a connect request: a request earns nothing
    // (only challenge requests do), and may be looked at only while its
    // source's credit is above zero. Refusals and repeated accepts are then
    // charged with chargeChallengeAnswer.
    bool admitConnectRequest(const NetAddress& address, uint32_t now);

    // True when a key agreement for a request from this address's host may
    // run now, and counts it; false (drop the request unanswered) when the
    // host or everyone together is over the limit.
    bool admitKeyAgreement(const NetAddress& address, uint32_t now);

    // True when a reset query from this address may be answered now, and
    // counts the answer; false (drop the query) when the source or everyone
    // together is over the limit.
    bool admitResetAnswer(const NetAddress& address, uint32_t now);

    // A connection from this address was ended for misbehaving. A host
    // with `count` such endings within `windowMs` is barred for `windowMs`
    // from the last of them.
    void noteAbusiveEnd(const NetAddress& address, uint32_t now, uint32_t count, uint32_t windowMs);
    bool isBarred(const NetAddress& address, uint32_t now) const;

private:
    struct ChallengeCredit {
        int32_t milliBytes = 0; // thousandths of a byte, for the trickle
        uint32_t lastTime = 0;
        bool used = false;
    };
    // Whole key agreements allowed, in thousandths, refilled with time.
    struct AgreementBucket {
        uint32_t milliAgreements = 0;
        uint32_t lastTime = 0;
        bool used = false;
        bool take(uint32_t perSecond, uint32_t now);
    };
    // A host's recent endings for misbehaving, newest last, and until when
    // it is refused. Only hosts that held a connection get one, so the list
    // stays as short as the connections ended in the last minute.
    struct AbuseRecord {
        NetAddress host;
        std::vector<uint32_t> endTimes;
        uint32_t barredUntil = 0;
        bool barred = false;
    };
    ChallengeCredit& creditSlot(const NetAddress& address);
    ChallengeCredit& refreshedCredit(const NetAddress& address, uint32_t earnedBytes, uint32_t now);
    uint32_t tokenWithSecret(const uint8_t* secret, const NetAddress& address, const Nonce& clientNonce) const;

    PuzzleManager mPuzzleManager;
    uint8_t mTokenSecret[TokenSecretBytes];
    uint8_t mPreviousTokenSecret[TokenSecretBytes];
    std::vector<ChallengeCredit> mChallengeCredits;
    // Per host, only for hosts that reached a key agreement (their token
    // proves they receive at their address): a bucket a second old is full
    // again and forgotten at the next tick.
    std::map<std::array<uint32_t, 5>, AgreementBucket> mAgreementBuckets;
    AgreementBucket mAllAgreements;
    std::vector<AgreementBucket> mResetAnswerSlots;
    AgreementBucket mAllResetAnswers;
    std::vector<AbuseRecord> mAbuse;
    uint64_t mChallengeSalt = 0;
};

} // namespace seafold
