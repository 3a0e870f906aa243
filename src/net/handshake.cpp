#include "net/handshake.h"

#include <algorithm>
#include <cstring>
#include <tomcrypt.h>

#include "net/random.h"

namespace seafold {

HandshakeGuard::HandshakeGuard()
{
    Random::randomBytes(mTokenSecret, sizeof(mTokenSecret));
    Random::randomBytes(mPreviousTokenSecret, sizeof(mPreviousTokenSecret));
    Random::randomBytes(reinterpret_cast<uint8_t*>(&mChallengeSalt), sizeof(mChallengeSalt));
    mChallengeCredits.resize(CreditSlots);
    mResetAnswerSlots.resize(ResetAnswerSlots);
}

bool HandshakeGuard::tick(uint32_t now)
{
    for (auto at = mAgreementBuckets.begin(); at != mAgreementBuckets.end();)
        at = now - at->second.lastTime >= 1000 ? mAgreementBuckets.erase(at) : std::next(at);
    if (!mPuzzleManager.tick(now))
        return false;
    std::memcpy(mPreviousTokenSecret, mTokenSecret, TokenSecretBytes);
    Random::randomBytes(mTokenSecret, TokenSecretBytes);
    return true;
}

// ---- identity token ----------------------------------------------------------

uint32_t HandshakeGuard::identityToken(const NetAddress& address, const Nonce& clientNonce) const
{
    return tokenWithSecret(mTokenSecret, address, clientNonce);
}

bool HandshakeGuard::isIdentityTokenValid(const NetAddress& address, const Nonce& clientNonce, uint32_t token) const
{
    return token == tokenWithSecret(mTokenSecret, address, clientNonce) ||
           token == tokenWithSecret(mPreviousTokenSecret, address, clientNonce);
}

uint32_t HandshakeGuard::tokenWithSecret(const uint8_t* secret, const NetAddress& address,
                                         const Nonce& clientNonce) const
{
    // 40 bytes: the address (transport, port as 16-bit, four host words as
    // 32-bit, all little-endian), the client nonce and our secret bytes.
    uint8_t input[40];
    auto put16 = [&](int at, uint16_t v) {
        input[at] = uint8_t(v);
        input[at + 1] = uint8_t(v >> 8);
    };
    auto put32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            input[at + i] = uint8_t(v >> (8 * i));
    };
    put16(0, address.transport);
    put16(2, address.port);
    for (int i = 0; i < 4; ++i)
        put32(4 + 4 * i, address.netNum[i]);
    std::memcpy(input + 20, clientNonce.data, 8);
    std::memcpy(input + 28, secret, TokenSecretBytes);

    uint8_t digest[32];
    hash_state state;
    sha256_init(&state);
    sha256_process(&state, input, sizeof(input));
    sha256_done(&state, digest);
    return uint32_t(digest[0]) | uint32_t(digest[1]) << 8 | uint32_t(digest[2]) << 16 | uint32_t(digest[3]) << 24;
}

// ---- challenge answers per source ----------------------------------------------

HandshakeGuard::ChallengeCredit& HandshakeGuard::creditSlot(const NetAddress& address)
{
    // A salted multiplicative hash: a forger cannot aim at one slot.
    uint64_t key = (uint64_t(address.netNum[0]) << 16 | address.port) ^ mChallengeSalt;
    key *= 0x9E3779B97F4A7C15ull;
    return mChallengeCredits[(key >> 32) % CreditSlots];
}

HandshakeGuard::ChallengeCredit& HandshakeGuard::refreshedCredit(const NetAddress& address, uint32_t earnedBytes,
                                                                 uint32_t now)
{
    ChallengeCredit& slot = creditSlot(address);
    const int64_t max = int64_t(CreditMaxBytes) * 1000;
    int64_t credit = slot.milliBytes;
    if (!slot.used) {
        slot.used = true;
        credit = max;
    } else {
        uint32_t elapsed = std::min<uint32_t>(now - slot.lastTime, CreditRefillLimitMs);
        credit += int64_t(elapsed) * CreditBytesPerSecond;
    }
    credit = std::min(credit + int64_t(earnedBytes) * 1000, max);
    slot.milliBytes = int32_t(credit);
    slot.lastTime = now;
    return slot;
}

bool HandshakeGuard::admitChallengeRequest(const NetAddress& address, uint32_t requestBytes, uint32_t now)
{
    return refreshedCredit(address, requestBytes, now).milliBytes > 0;
}

bool HandshakeGuard::admitConnectRequest(const NetAddress& address, uint32_t now)
{
    return refreshedCredit(address, 0, now).milliBytes > 0;
}

void HandshakeGuard::chargeChallengeAnswer(const NetAddress& address, uint32_t answerBytes)
{
    creditSlot(address).milliBytes -= int32_t(answerBytes * 1000);
}

// ---- reset answers per source and overall -----------------------------------

bool HandshakeGuard::admitResetAnswer(const NetAddress& address, uint32_t now)
{
    uint64_t key = (uint64_t(address.netNum[0]) << 16 | address.port) ^ ~mChallengeSalt;
    key *= 0x9E3779B97F4A7C15ull;
    AgreementBucket& source = mResetAnswerSlots[(key >> 32) % ResetAnswerSlots];
    // The source's bucket first: a source over its share spends nothing of
    // the others'.
    return source.take(ResetAnswersPerSecondPerSource, now) && mAllResetAnswers.take(ResetAnswersPerSecond, now);
}

// ---- key agreements per host and overall ------------------------------------

bool HandshakeGuard::AgreementBucket::take(uint32_t perSecond, uint32_t now)
{
    const uint32_t max = perSecond * 1000;
    if (!used) {
        used = true;
        milliAgreements = max;
    } else {
        // perSecond agreements a second: perSecond thousandths a millisecond.
        uint64_t earned = uint64_t(std::min<uint32_t>(now - lastTime, CreditRefillLimitMs)) * perSecond;
        milliAgreements = uint32_t(std::min<uint64_t>(milliAgreements + earned, max));
    }
    lastTime = now;
    if (milliAgreements < 1000)
        return false;
    milliAgreements -= 1000;
    return true;
}

bool HandshakeGuard::admitKeyAgreement(const NetAddress& address, uint32_t now)
{
    // The host alone: one machine's ports share its allowance.
    AgreementBucket& host = mAgreementBuckets[{address.transport, address.netNum[0], address.netNum[1],
                                               address.netNum[2], address.netNum[3]}];
    // Both are checked before either is charged, so a host over its own
    // limit takes nothing from everyone's.
    AgreementBucket hostAfter = host;
    if (!hostAfter.take(KeyAgreementsPerSecondPerHost, now) || !mAllAgreements.take(KeyAgreementsPerSecond, now))
        return false;
    host = hostAfter;
    return true;
}

// ---- hosts barred for misbehaving ---------------------------------------------

void HandshakeGuard::noteAbusiveEnd(const NetAddress& address, uint32_t now, uint32_t count, uint32_t windowMs)
{
    // Forget what is over: endings out of the window, bars that ran out.
    mAbuse.erase(std::remove_if(mAbuse.begin(), mAbuse.end(),
                                [&](AbuseRecord& record) {
                                    auto& times = record.endTimes;
                                    times.erase(std::remove_if(times.begin(), times.end(),
                                                               [&](uint32_t t) { return now - t >= windowMs; }),
                                                times.end());
                                    return times.empty() && !(record.barred && int32_t(record.barredUntil - now) > 0);
                                }),
                 mAbuse.end());
    auto found = std::find_if(mAbuse.begin(), mAbuse.end(),
                              [&](const AbuseRecord& record) { return record.host.isSameHost(address); });
    if (found == mAbuse.end()) {
        mAbuse.push_back({address, {}, 0, false});
        found = mAbuse.end() - 1;
    }
    found->endTimes.push_back(now);
    if (found->endTimes.size() >= count) {
        found->barred = true;
        found->barredUntil = now + windowMs;
    }
}

bool HandshakeGuard::isBarred(const NetAddress& address, uint32_t now) const
{
    for (const AbuseRecord& record : mAbuse)
        if (record.barred && record.host.isSameHost(address))
            return int32_t(record.barredUntil - now) > 0;
    return false;
}

} // namespace seafold
