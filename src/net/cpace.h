// The join password's key exchange: CPace over ristretto255, as the CFRG
// draft describes it, with a confirmation tag each way.
//
// Both ends derive a generator of the group from the password and from the
// channel (bytes only this connection's two ends share: its key exchange),
// each draws a secret scalar and sends its share (scalar times generator),
// and each multiplies the other's share by its own scalar. The two results
// agree only when both used the same password on the same channel. From
// that point and the transcript (the two shares) comes a session key, from
// which each side's confirmation tag is made.
//
// Whoever takes part learns whether the other side used the same password,
// and nothing else: the shares are random points whatever the password, so
// neither a recorded exchange nor a rogue end can test further guesses
// offline. A guess costs one exchange with the other side.
//
//   server -> client: the server's share (32 bytes)
//   client -> server: the client's share (32 bytes), the client's tag (32)
//   server -> client: the server's tag (32), only when the client's was good
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace seafold {

class CpaceExchange {
public:
    enum class Role { Client, Server };
    static constexpr size_t ShareBytes = 32;
    static constexpr size_t TagBytes = 32;
    static constexpr size_t ScalarBytes = 32;
    using Share = std::array<uint8_t, ShareBytes>;
    using Tag = std::array<uint8_t, TagBytes>;
    using Scalar = std::array<uint8_t, ScalarBytes>;

    // One exchange for `password` on the channel `channel` (channelBytes
    // bytes, at least 16), with a fresh secret scalar.
    CpaceExchange(Role role, const std::string& password, const uint8_t* channel, size_t channelBytes);
    // The same with the scalar given (tests that play a rogue end).
    CpaceExchange(Role role, const std::string& password, const uint8_t* channel, size_t channelBytes,
                     const Scalar& scalar);
    ~CpaceExchange();
    CpaceExchange(const CpaceExchange&) = delete;
    CpaceExchange& operator=(const CpaceExchange&) = delete;

    // False when the exchange cannot take place (the channel is too short,
    // the library did not start).
    bool usable() const { return mUsable; }
    // This side's share, to send.
    const Share& share() const { return mShare; }
    // The other side's share, received: false when it is no point of the
    // group or makes the shared point the identity (the exchange is then
    // over, and every tag check fails).
    bool takeOtherShare(const uint8_t* share, size_t bytes);
    // After the other side's share: this side's tag, to send.
    Tag ownTag() const;
    // After the other side's share: true when `tag` is the other side's tag
    // for the same password. Compared in constant time.
    bool checkOtherTag(const uint8_t* tag, size_t bytes) const;

    // The session key of an exchange from its parts: a secret scalar, the
    // other side's share, and both shares for the transcript. False when the
    // shared point is the identity or a share no point. For tests that
    // check what a rogue end can compute from a recorded exchange.
    static bool sessionKey(const Scalar& scalar, const Share& otherShare, const Share& clientShare,
                           const Share& serverShare, const uint8_t* channel, size_t channelBytes,
                           std::array<uint8_t, 64>* key);
    // The tag of `role` under a session key.
    static Tag tagOf(Role role, const std::array<uint8_t, 64>& key, const Share& clientShare, const Share& serverShare);

private:
    void start(const std::string& password, const uint8_t* channel, size_t channelBytes);

    Role mRole;
    bool mUsable = false;
    bool mKeyed = false;
    Scalar mScalar{};
    Share mShare{};
    Share mOtherShare{};
    std::array<uint8_t, 64> mKey{};
    std::string mChannel;
};

} // namespace seafold
