#include "net/cpace.h"

#include <sodium.h>

#include <algorithm>
#include <vector>

namespace seafold {

namespace {

// The domain separation of this ciphersuite, and our channel's name.
const std::string DomainSeparation = "CPaceRistretto255";
const std::string ChannelIdentifier = "Seafold join password";
// The input block of SHA-512: the generator string is padded so that the
// password ends in the first one.
constexpr size_t HashBlockBytes = 128;
constexpr size_t MinChannelBytes = 16;

using Bytes = std::vector<uint8_t>;

// Length-value concatenation: each item after its length (LEB128).
void appendLengthValue(Bytes& out, const uint8_t* data, size_t length)
{
    size_t rest = length;
    do {
        uint8_t byte = rest & 0x7F;
        rest >>= 7;
        out.push_back(rest ? byte | 0x80 : byte);
    } while (rest);
    out.insert(out.end(), data, data + length);
}

void appendLengthValue(Bytes& out, const std::string& text)
{
    appendLengthValue(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

size_t lengthValueBytes(size_t length)
{
    size_t prefix = 1;
    for (size_t rest = length >> 7; rest; rest >>= 7)
        ++prefix;
    return prefix + length;
}

// The generator of the group for a password on a channel.
bool generatorOf(const std::string& password, const std::string& channel, uint8_t generator[32])
{
    Bytes text;
    appendLengthValue(text, DomainSeparation);
    appendLengthValue(text, password);
    const size_t used = lengthValueBytes(password.size()) + lengthValueBytes(DomainSeparation.size());
    const Bytes padding(used < HashBlockBytes - 1 ? HashBlockBytes - 1 - used : 0, 0);
    appendLengthValue(text, padding.data(), padding.size());
    appendLengthValue(text, ChannelIdentifier);
    appendLengthValue(text, channel);
    uint8_t hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(hash, text.data(), text.size());
    const bool made = crypto_core_ristretto255_from_hash(generator, hash) == 0;
    sodium_memzero(hash, sizeof hash);
    sodium_memzero(text.data(), text.size());
    return made;
}

using MacKey = std::array<uint8_t, crypto_auth_hmacsha512256_KEYBYTES>;

MacKey macKeyOf(CpaceExchange::Role role, const std::array<uint8_t, 64>& key)
{
    Bytes text;
    appendLengthValue(text, role == CpaceExchange::Role::Client ? "CPaceMac_client" : "CPaceMac_server");
    appendLengthValue(text, key.data(), key.size());
    uint8_t hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(hash, text.data(), text.size());
    MacKey mac;
    std::copy(hash, hash + mac.size(), mac.begin());
    sodium_memzero(hash, sizeof hash);
    return mac;
}

bool libraryReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

CpaceExchange::CpaceExchange(Role role, const std::string& password, const uint8_t* channel,
                                   size_t channelBytes)
    : mRole(role)
{
    if (!libraryReady())
        return;
    crypto_core_ristretto255_scalar_random(mScalar.data());
    start(password, channel, channelBytes);
}

CpaceExchange::CpaceExchange(Role role, const std::string& password, const uint8_t* channel,
                                   size_t channelBytes, const Scalar& scalar)
    : mRole(role), mScalar(scalar)
{
    if (libraryReady())
        start(password, channel, channelBytes);
}

CpaceExchange::~CpaceExchange()
{
    sodium_memzero(mScalar.data(), mScalar.size());
    sodium_memzero(mKey.data(), mKey.size());
}

void CpaceExchange::start(const std::string& password, const uint8_t* channel, size_t channelBytes)
{
    if (!channel || channelBytes < MinChannelBytes)
        return;
    mChannel.assign(reinterpret_cast<const char*>(channel), channelBytes);
    uint8_t generator[crypto_core_ristretto255_BYTES];
    mUsable = generatorOf(password, mChannel, generator) &&
              crypto_scalarmult_ristretto255(mShare.data(), mScalar.data(), generator) == 0;
    sodium_memzero(generator, sizeof generator);
}

bool CpaceExchange::sessionKey(const Scalar& scalar, const Share& otherShare, const Share& clientShare,
                                  const Share& serverShare, const uint8_t* channel, size_t channelBytes,
                                  std::array<uint8_t, 64>* key)
{
    if (!libraryReady() || !crypto_core_ristretto255_is_valid_point(otherShare.data()))
        return false;
    uint8_t point[crypto_core_ristretto255_BYTES];
    // Fails for the identity: a share crafted to make the point known.
    if (crypto_scalarmult_ristretto255(point, scalar.data(), otherShare.data()) != 0)
        return false;
    Bytes text;
    appendLengthValue(text, DomainSeparation + "_ISK");
    appendLengthValue(text, channel, channelBytes);
    appendLengthValue(text, point, sizeof point);
    appendLengthValue(text, clientShare.data(), clientShare.size());
    appendLengthValue(text, nullptr, 0); // the client's associated data: none
    appendLengthValue(text, serverShare.data(), serverShare.size());
    appendLengthValue(text, nullptr, 0);
    crypto_hash_sha512(key->data(), text.data(), text.size());
    sodium_memzero(point, sizeof point);
    sodium_memzero(text.data(), text.size());
    return true;
}

CpaceExchange::Tag CpaceExchange::tagOf(Role role, const std::array<uint8_t, 64>& key, const Share& clientShare,
                                              const Share& serverShare)
{
    const MacKey mac = macKeyOf(role, key);
    Bytes text;
    const Share& own = role == Role::Client ? clientShare : serverShare;
    const Share& other = role == Role::Client ? serverShare : clientShare;
    appendLengthValue(text, own.data(), own.size());
    appendLengthValue(text, other.data(), other.size());
    Tag tag;
    crypto_auth_hmacsha512256(tag.data(), text.data(), text.size(), mac.data());
    return tag;
}

bool CpaceExchange::takeOtherShare(const uint8_t* share, size_t bytes)
{
    mKeyed = false;
    if (!mUsable || !share || bytes != ShareBytes)
        return false;
    std::copy(share, share + ShareBytes, mOtherShare.begin());
    const Share& client = mRole == Role::Client ? mShare : mOtherShare;
    const Share& server = mRole == Role::Client ? mOtherShare : mShare;
    mKeyed = sessionKey(mScalar, mOtherShare, client, server, reinterpret_cast<const uint8_t*>(mChannel.data()),
                        mChannel.size(), &mKey);
    return mKeyed;
}

CpaceExchange::Tag CpaceExchange::ownTag() const
{
    if (!mKeyed)
        return Tag{};
    const Share& client = mRole == Role::Client ? mShare : mOtherShare;
    const Share& server = mRole == Role::Client ? mOtherShare : mShare;
    return tagOf(mRole, mKey, client, server);
}

bool CpaceExchange::checkOtherTag(const uint8_t* tag, size_t bytes) const
{
    if (!mKeyed || !tag || bytes != TagBytes)
        return false;
    const Share& client = mRole == Role::Client ? mShare : mOtherShare;
    const Share& server = mRole == Role::Client ? mOtherShare : mShare;
    const Tag expected = tagOf(mRole == Role::Client ? Role::Server : Role::Client, mKey, client, server);
    return sodium_memcmp(expected.data(), tag, TagBytes) == 0;
}

} // namespace seafold
