#include "net/crypto.h"
#include "base/platform.h"
#include "net/random.h"

// The elliptic-curve code needs a multiple-precision maths provider; Debian's
// LibTomCrypt carries the LibTomMath descriptor, declared under this switch.
#define LTM_DESC
#include <tomcrypt.h>

#include <cstring>

namespace seafold {

static void sha256(const uint8_t* data, uint32_t length, uint8_t digest[32])
{
    hash_state state;
    sha256_init(&state);
    sha256_process(&state, data, length);
    sha256_done(&state, digest);
}

bool hmacSha256(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length, uint8_t mac[32])
{
    int hash = register_hash(&sha256_desc);
    if (hash < 0)
        return false;
    unsigned long macLength = 32;
    // The library wants a key of at least one byte; an empty one is the
    // block of zeros HMAC pads it to anyway.
    const uint8_t zero = 0;
    return hmac_memory(hash, keyLength ? key : &zero, keyLength ? (unsigned long)keyLength : 1, data,
                       (unsigned long)length, mac, &macLength) == CRYPT_OK &&
           macLength == 32;
}

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length)
{
    uint8_t difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference |= uint8_t(a[i] ^ b[i]);
    return difference == 0;
}

static void putBigEndian32(uint8_t* out, uint32_t value)
{
    out[0] = uint8_t(value >> 24);
    out[1] = uint8_t(value >> 16);
    out[2] = uint8_t(value >> 8);
    out[3] = uint8_t(value);
}

static uint32_t getBigEndian32(const uint8_t* in)
{
    return uint32_t(in[0]) << 24 | uint32_t(in[1]) << 16 | uint32_t(in[2]) << 8 | uint32_t(in[3]);
}

// ---- nonces ----------------------------------------------------------------

void Nonce::getRandom()
{
    Random::randomBytes(data, SizeBytes);
}

bool Nonce::operator==(const Nonce& other) const
{
    return std::memcmp(data, other.data, SizeBytes) == 0;
}

NonceSet::NonceSet()
{
    reset();
}

void NonceSet::reset()
{
    mAllocator.freeAll();
    uint32_t r = uint32_t(Random::readI(127, 387));
    mBuckets.assign(2 * r + 1, nullptr);
}

bool NonceSet::contains(const Nonce& nonce) const
{
    uint64_t key = uint64_t(getBigEndian32(nonce.data)) << 32 | getBigEndian32(nonce.data + 4);
    for (Entry* e = mBuckets[size_t(key % mBuckets.size())]; e; e = e->next)
        if (e->nonce == nonce)
            return true;
    return false;
}

bool NonceSet::checkAdd(const Nonce& nonce)
{
    if (contains(nonce))
        return false;
    uint64_t key = uint64_t(getBigEndian32(nonce.data)) << 32 | getBigEndian32(nonce.data + 4);
    Entry*& head = mBuckets[size_t(key % mBuckets.size())];
    Entry* entry = static_cast<Entry*>(mAllocator.allocate(sizeof(Entry)));
    entry->nonce = nonce;
    entry->next = head;
    head = entry;
    return true;
}

// ---- puzzle hashing --------------------------------------------------------

void puzzleDigest(uint8_t digest[32], uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce,
                  uint32_t identity)
{
    uint8_t input[24];
    putBigEndian32(input, solution);
    putBigEndian32(input + 4, identity);
    std::memcpy(input + 8, clientNonce.data, Nonce::SizeBytes);
    std::memcpy(input + 16, serverNonce.data, Nonce::SizeBytes);
    sha256(input, sizeof input, digest);
}

// The first `difficulty` bits of the digest (most significant first) are 0.
static bool leadingZeroBits(const uint8_t digest[32], uint32_t difficulty)
{
    if (difficulty > 256)
        return false;
    uint32_t whole = difficulty / 8;
    for (uint32_t i = 0; i < whole; ++i)
        if (digest[i])
            return false;
    uint32_t rest = difficulty % 8;
    return rest == 0 || (digest[whole] >> (8 - rest)) == 0;
}

bool puzzleHashOk(uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce, uint32_t difficulty,
                  uint32_t identity)
{
    uint8_t digest[32];
    puzzleDigest(digest, solution, clientNonce, serverNonce, identity);
    return leadingZeroBits(digest, difficulty);
}

// The solver's hash: SHA-256 (FIPS 180-4) of the one padded block the
// 24 puzzle bytes make, specialised because only the first message word (the
// candidate) changes between tries. Words 6-15 are the padding and the bit
// length, constants the compiler folds; everything that depends on words 1-5
// alone is computed once per puzzle. Gives the same digest as puzzleDigest.
namespace {

constexpr uint32_t RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};
constexpr uint32_t InitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}
constexpr uint32_t bigSigma0(uint32_t x)
{
    return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22);
}
constexpr uint32_t bigSigma1(uint32_t x)
{
    return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25);
}
constexpr uint32_t smallSigma0(uint32_t x)
{
    return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3);
}
constexpr uint32_t smallSigma1(uint32_t x)
{
    return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10);
}
constexpr uint32_t choose(uint32_t e, uint32_t f, uint32_t g)
{
    return g ^ (e & (f ^ g));
}
constexpr uint32_t majority(uint32_t a, uint32_t b, uint32_t c)
{
    return (a & b) | (c & (a | b));
}

// Padding: 0x80 right after the 24 bytes, then zeros, then the bit count.
constexpr uint32_t PaddingWord6 = 0x80000000u;
constexpr uint32_t LengthWord15 = 24 * 8;

// Round 0 on the initial state: T1 without the message word, and T2.
constexpr uint32_t Round0T1 = InitialHash[7] + bigSigma1(InitialHash[4]) +
                              choose(InitialHash[4], InitialHash[5], InitialHash[6]) + RoundConstants[0];
constexpr uint32_t Round0T2 = bigSigma0(InitialHash[0]) + majority(InitialHash[0], InitialHash[1], InitialHash[2]);

class PuzzleHasher {
public:
    PuzzleHasher(const Nonce& clientNonce, const Nonce& serverNonce, uint32_t identity)
    {
        w1 = identity;
        w2 = getBigEndian32(clientNonce.data);
        w3 = getBigEndian32(clientNonce.data + 4);
        w4 = getBigEndian32(serverNonce.data);
        w5 = getBigEndian32(serverNonce.data + 4);
        // Schedule words, or parts of them, that do not involve word 0.
        pre16 = smallSigma0(w1);                                 // + w0
        w17 = smallSigma1(LengthWord15) + smallSigma0(w2) + w1;  // w10 = 0
        pre18 = smallSigma0(w3) + w2;                            // + s1(w16)
        w19 = smallSigma1(w17) + smallSigma0(w4) + w3;           // w12 = 0
        pre20 = smallSigma0(w5) + w4;                            // + s1(w18)
        w21 = smallSigma1(w19) + smallSigma0(PaddingWord6) + w5; // w14 = 0
    }

    // The eight digest words of the candidate's hash.
    inline __attribute__((always_inline)) void digest(uint32_t w0, uint32_t out[8]) const
    {
        uint32_t w[64];
        w[0] = w0, w[1] = w1, w[2] = w2, w[3] = w3, w[4] = w4, w[5] = w5, w[6] = PaddingWord6;
        w[7] = w[8] = w[9] = w[10] = w[11] = w[12] = w[13] = w[14] = 0;
        w[15] = LengthWord15;
        w[16] = pre16 + w0;
        w[17] = w17;
        w[18] = smallSigma1(w[16]) + pre18;
        w[19] = w19;
        w[20] = smallSigma1(w[18]) + pre20;
        w[21] = w21;
        w[22] = smallSigma1(w[20]) + LengthWord15 + PaddingWord6; // s0(w7) = 0
        w[23] = smallSigma1(w[21]) + w[16];                       // s0(w8) = w7 = 0
        w[24] = smallSigma1(w[22]) + w[17];                       // s0(w9) = w8 = 0
        w[25] = smallSigma1(w[23]) + w[18];
        w[26] = smallSigma1(w[24]) + w[19];
        w[27] = smallSigma1(w[25]) + w[20];
        w[28] = smallSigma1(w[26]) + w[21];
        w[29] = smallSigma1(w[27]) + w[22];
        w[30] = smallSigma1(w[28]) + w[23] + smallSigma0(LengthWord15);
        w[31] = smallSigma1(w[29]) + w[24] + smallSigma0(w[16]) + LengthWord15;
        for (int i = 32; i < 64; ++i)
            w[i] = smallSigma1(w[i - 2]) + w[i - 7] + smallSigma0(w[i - 15]) + w[i - 16];

        uint32_t t1 = Round0T1 + w0;
        uint32_t a = t1 + Round0T2, b = InitialHash[0], c = InitialHash[1], d = InitialHash[2];
        uint32_t e = InitialHash[3] + t1, f = InitialHash[4], g = InitialHash[5], h = InitialHash[6];
#pragma GCC unroll 63
        for (int i = 1; i < 64; ++i) {
            uint32_t x = h + bigSigma1(e) + choose(e, f, g) + RoundConstants[i] + w[i];
            uint32_t y = bigSigma0(a) + majority(a, b, c);
            h = g, g = f, f = e, e = d + x;
            d = c, c = b, b = a, a = x + y;
        }
        out[0] = InitialHash[0] + a, out[1] = InitialHash[1] + b, out[2] = InitialHash[2] + c;
        out[3] = InitialHash[3] + d, out[4] = InitialHash[4] + e, out[5] = InitialHash[5] + f;
        out[6] = InitialHash[6] + g, out[7] = InitialHash[7] + h;
    }

    uint32_t w1, w2, w3, w4, w5;
    uint32_t pre16, w17, pre18, w19, pre20, w21;
};

// Eight consecutive candidates at once, one per vector lane; only the first
// digest word, which decides every difficulty up to 32 bits. The same code
// is compiled twice: for AVX2 and for the baseline instruction set.
typedef uint32_t Lanes __attribute__((vector_size(32)));
enum : uint32_t { LaneCount = 8 };

// Macros rather than functions: vector arguments would change the calling
// convention between the AVX2 and the baseline copies.
#define LANE_ROTR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))
#define LANE_SIGMA0(x) (LANE_ROTR(x, 7) ^ LANE_ROTR(x, 18) ^ ((x) >> 3))
#define LANE_SIGMA1(x) (LANE_ROTR(x, 17) ^ LANE_ROTR(x, 19) ^ ((x) >> 10))

inline __attribute__((always_inline)) void firstWordsOfLanes(const PuzzleHasher& h, uint32_t first,
                                                             uint32_t out[LaneCount])
{
    const Lanes w0 = Lanes{0, 1, 2, 3, 4, 5, 6, 7} + first;
    Lanes w[64];
    w[0] = w0;
    const uint32_t fixed[16] = {0, h.w1, h.w2, h.w3, h.w4, h.w5, PaddingWord6, 0, 0, 0, 0, 0, 0, 0, 0, LengthWord15};
    for (int i = 1; i < 16; ++i)
        w[i] = Lanes{} + fixed[i];
    w[16] = w0 + h.pre16;
    w[17] = Lanes{} + h.w17;
    w[18] = LANE_SIGMA1(w[16]) + h.pre18;
    w[19] = Lanes{} + h.w19;
    w[20] = LANE_SIGMA1(w[18]) + h.pre20;
    w[21] = Lanes{} + h.w21;
    w[22] = LANE_SIGMA1(w[20]) + (LengthWord15 + PaddingWord6);
    w[23] = smallSigma1(h.w21) + w[16];
    w[24] = LANE_SIGMA1(w[22]) + h.w17;
    w[25] = LANE_SIGMA1(w[23]) + w[18];
    w[26] = LANE_SIGMA1(w[24]) + h.w19;
    w[27] = LANE_SIGMA1(w[25]) + w[20];
    w[28] = LANE_SIGMA1(w[26]) + h.w21;
    w[29] = LANE_SIGMA1(w[27]) + w[22];
    w[30] = LANE_SIGMA1(w[28]) + w[23] + smallSigma0(LengthWord15);
    w[31] = LANE_SIGMA1(w[29]) + w[24] + LANE_SIGMA0(w[16]) + LengthWord15;
#pragma GCC unroll 32
    for (int i = 32; i < 64; ++i)
        w[i] = LANE_SIGMA1(w[i - 2]) + w[i - 7] + LANE_SIGMA0(w[i - 15]) + w[i - 16];

    Lanes t1 = w0 + Round0T1;
    Lanes a = t1 + Round0T2, e = t1 + InitialHash[3];
    Lanes b = Lanes{} + InitialHash[0], c = Lanes{} + InitialHash[1], d = Lanes{} + InitialHash[2];
    Lanes f = Lanes{} + InitialHash[4], g = Lanes{} + InitialHash[5], hh = Lanes{} + InitialHash[6];
#pragma GCC unroll 63
    for (int i = 1; i < 64; ++i) {
        Lanes x = hh + (LANE_ROTR(e, 6) ^ LANE_ROTR(e, 11) ^ LANE_ROTR(e, 25)) + (g ^ (e & (f ^ g))) +
                  RoundConstants[i] + w[i];
        Lanes y = (LANE_ROTR(a, 2) ^ LANE_ROTR(a, 13) ^ LANE_ROTR(a, 22)) + ((a & b) | (c & (a | b)));
        hh = g, g = f, f = e, e = d + x;
        d = c, c = b, b = a, a = x + y;
    }
    a += InitialHash[0];
    std::memcpy(out, &a, sizeof a);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void firstWordsAvx2(const PuzzleHasher& h, uint32_t first, uint32_t out[LaneCount])
{
    firstWordsOfLanes(h, first, out);
}
#endif

void firstWordsBaseline(const PuzzleHasher& h, uint32_t first, uint32_t out[LaneCount])
{
    firstWordsOfLanes(h, first, out);
}

using FirstWordsFunction = void (*)(const PuzzleHasher&, uint32_t, uint32_t*);

FirstWordsFunction pickFirstWords()
{
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx2"))
        return firstWordsAvx2;
#endif
    return firstWordsBaseline;
}

bool digestWordsPass(const uint32_t words[8], uint32_t difficulty)
{
    if (difficulty > 256)
        return false;
    uint32_t whole = difficulty / 32;
    for (uint32_t i = 0; i < whole; ++i)
        if (words[i])
            return false;
    uint32_t rest = difficulty % 32;
    return rest == 0 || (words[whole] >> (32 - rest)) == 0;
}

} // namespace

bool solvePuzzle(uint32_t* solution, const Nonce& clientNonce, const Nonce& serverNonce, uint32_t difficulty,
                 uint32_t identity)
{
    enum : uint32_t { BlockCandidates = 50000, TimeLimitMs = 30 };
    uint32_t start = getRealMilliseconds();
    PuzzleHasher hasher(clientNonce, serverNonce, identity);
    static_assert(BlockCandidates % LaneCount == 0, "blocks hold whole lane groups");
    uint32_t candidate = *solution;
    if (difficulty <= 32) {
        // Decided by the first digest word: eight candidates at a time, the
        // lowest passing lane being the first passing candidate.
        static const FirstWordsFunction firstWords = pickFirstWords();
        uint32_t mask = difficulty == 0 ? 0 : ~(0xFFFFFFFFu >> (difficulty - 1) >> 1);
        for (;;) {
            for (uint32_t i = 0; i < BlockCandidates; i += LaneCount, candidate += LaneCount) {
                uint32_t words[LaneCount];
                firstWords(hasher, candidate, words);
                for (uint32_t lane = 0; lane < LaneCount; ++lane) {
                    if ((words[lane] & mask) == 0) {
                        *solution = candidate + lane;
                        return true;
                    }
                }
            }
            if (getRealMilliseconds() - start > TimeLimitMs) {
                *solution = candidate;
                return false;
            }
        }
    }
    for (;;) {
        for (uint32_t i = 0; i < BlockCandidates; ++i, ++candidate) {
            uint32_t words[8];
            hasher.digest(candidate, words);
            if (digestWordsPass(words, difficulty)) {
                *solution = candidate;
                return true;
            }
        }
        if (getRealMilliseconds() - start > TimeLimitMs) {
            *solution = candidate;
            return false;
        }
    }
}

// ---- puzzle manager --------------------------------------------------------

PuzzleManager::PuzzleManager()
{
    mCurrentNonce.getRandom();
    mLastNonce.getRandom();
}

bool PuzzleManager::tick(uint32_t now)
{
    if (now - mLastUpdateTime <= NonceRefreshMs)
        return false;
    mLastUpdateTime = now;
    mLastNonce = mCurrentNonce;
    std::swap(mCurrentSet, mLastSet);
    mCurrentSet->reset();
    mCurrentNonce.getRandom();
    return true;
}

PuzzleResult PuzzleManager::checkSolution(uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce,
                                          uint32_t difficulty, uint32_t identity)
{
    PuzzleResult result = verifySolution(solution, clientNonce, serverNonce, difficulty, identity);
    if (result != PuzzleSuccess)
        return result;
    return useClientNonce(clientNonce, serverNonce) ? PuzzleSuccess : PuzzleClientNonceUsed;
}

PuzzleResult PuzzleManager::verifySolution(uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce,
                                           uint32_t difficulty, uint32_t identity) const
{
    if (difficulty < mCurrentDifficulty || difficulty > MaxDifficulty)
        return PuzzleWrongDifficulty;
    const NonceSet* set;
    if (serverNonce == mCurrentNonce)
        set = mCurrentSet;
    else if (serverNonce == mLastNonce)
        set = mLastSet;
    else
        return PuzzleUnknownServerNonce;
    if (!puzzleHashOk(solution, clientNonce, serverNonce, difficulty, identity))
        return PuzzleWrongSolution;
    if (set->contains(clientNonce))
        return PuzzleClientNonceUsed;
    return PuzzleSuccess;
}

bool PuzzleManager::useClientNonce(const Nonce& clientNonce, const Nonce& serverNonce)
{
    if (serverNonce == mCurrentNonce)
        return mCurrentSet->checkAdd(clientNonce);
    if (serverNonce == mLastNonce)
        return mLastSet->checkAdd(clientNonce);
    return false;
}

// ---- asymmetric keys -------------------------------------------------------

static void ensureMathProvider()
{
    static bool ready = false;
    if (!ready) {
        ltc_mp = ltm_desc;
        ready = true;
    }
}

struct AsymmetricKey::KeyHolder {
    ecc_key key;
    bool loaded = false;
    ~KeyHolder()
    {
        if (loaded)
            ecc_free(&key);
    }
};

// type byte, big-endian size, then the export of that type.
static RefPtr<ByteBuffer> exportKey(ecc_key* key, uint8_t type, uint32_t keySize)
{
    uint8_t buffer[AsymmetricKey::MaxKeyBufferBytes];
    unsigned long length = sizeof buffer - 5;
    int ltcType = type == AsymmetricKey::KeyTypePrivate ? PK_PRIVATE : PK_PUBLIC;
    if (ecc_export(buffer + 5, &length, ltcType, key) != CRYPT_OK)
        return nullptr;
    buffer[0] = type;
    putBigEndian32(buffer + 1, keySize);
    RefPtr<ByteBuffer> result = new ByteBuffer(uint32_t(length + 5));
    std::memcpy(result->data(), buffer, length + 5);
    return result;
}

AsymmetricKey::AsymmetricKey(uint32_t keySize) : mKey(new KeyHolder)
{
    ensureMathProvider();
    auto* prng = static_cast<prng_state*>(Random::prngState());
    if (keySize > 1024 || ecc_make_key(prng, Random::prngIndex(), int(keySize), &mKey->key) != CRYPT_OK)
        return;
    mKey->loaded = true;
    mKeySize = keySize;
    mPrivateKey = exportKey(&mKey->key, KeyTypePrivate, keySize);
    mPublicKey = exportKey(&mKey->key, KeyTypePublic, keySize);
    mHasPrivateKey = true;
    mValid = mPrivateKey.isValid() && mPublicKey.isValid();
}

AsymmetricKey::AsymmetricKey(const uint8_t* buffer, uint32_t size) : mKey(new KeyHolder)
{
    load(buffer, size);
}

AsymmetricKey::AsymmetricKey(BitStream& stream) : mKey(new KeyHolder)
{
    ByteBuffer buffer;
    if (stream.readBuffer(&buffer))
        load(buffer.data(), buffer.size());
}

AsymmetricKey::~AsymmetricKey() = default;

void AsymmetricKey::load(const uint8_t* buffer, uint32_t size)
{
    ensureMathProvider();
    if (!buffer || size <= 5 || size > MaxKeyBufferBytes)
        return;
    uint8_t type = buffer[0];
    if (type != KeyTypePrivate && type != KeyTypePublic)
        return;
    if (ecc_import(buffer + 5, size - 5, &mKey->key) != CRYPT_OK)
        return;
    mKey->loaded = true;
    // The type byte must agree with what the export really holds.
    bool isPrivate = mKey->key.type == PK_PRIVATE;
    if (isPrivate != (type == KeyTypePrivate))
        return;
    mKeySize = getBigEndian32(buffer + 1);
    RefPtr<ByteBuffer> copy = new ByteBuffer(size);
    std::memcpy(copy->data(), buffer, size);
    if (isPrivate) {
        mPrivateKey = copy;
        mPublicKey = exportKey(&mKey->key, KeyTypePublic, mKeySize);
        if (mPublicKey.isNull())
            return;
        mHasPrivateKey = true;
    } else {
        mPublicKey = copy;
    }
    mValid = true;
}

RefPtr<ByteBuffer> AsymmetricKey::computeSharedSecret(const AsymmetricKey* other) const
{
    if (!other || !mValid || !other->mValid || !mHasPrivateKey || mKeySize != other->mKeySize)
        return nullptr;
    uint8_t secret[MaxKeyBufferBytes];
    unsigned long length = sizeof secret;
    // No timing line here: every join would print one on standard error,
    // and a flood of connect requests would print one each.
    int err = ecc_shared_secret(&mKey->key, &other->mKey->key, secret, &length);
    if (err != CRYPT_OK)
        return nullptr;
    RefPtr<ByteBuffer> digest = new ByteBuffer(32);
    sha256(secret, uint32_t(length), digest->data());
    std::memset(secret, 0, sizeof secret);
    return digest;
}

std::string keyFingerprint(const AsymmetricKey* key)
{
    if (!key || !key->isValid() || !key->publicKey())
        return std::string();
    const ByteBuffer* buffer = key->publicKey();
    uint8_t digest[32];
    sha256(buffer->data(), buffer->size(), digest);
    static const char HexDigits[] = "0123456789abcdef";
    std::string text;
    for (uint32_t i = 0; i < KeyFingerprintBytes; ++i) {
        text += HexDigits[digest[i] >> 4];
        text += HexDigits[digest[i] & 15];
    }
    return text;
}

// ---- certificates ----------------------------------------------------------

Certificate::Certificate(BitStream& stream)
{
    if (stream.readBuffer(this))
        parse();
}

Certificate::Certificate(const uint8_t* data, uint32_t size) : ByteBuffer(size)
{
    if (size)
        std::memcpy(mData, data, size);
    parse();
}

void Certificate::parse()
{
    BitStream stream(mData, mSize);
    mPayload = new ByteBuffer;
    stream.readBuffer(mPayload);
    mPublicKey = new AsymmetricKey(stream);
    stream.setBytePosition(stream.bytePosition());
    mSignatureBytePosition = stream.bytePosition();
    mSignature = new ByteBuffer;
    stream.readBuffer(mSignature);
    mValid = !stream.hasError() && stream.bytePosition() == mSize && mPublicKey->isValid();
}

// ---- packet cipher ---------------------------------------------------------

struct SymmetricCipher::Schedule {
    symmetric_key key;
};

SymmetricCipher::SymmetricCipher(const uint8_t key[KeyBytes], const uint8_t initVector[BlockBytes])
    : mSchedule(new Schedule)
{
    init(key, initVector);
}

SymmetricCipher::SymmetricCipher(const ByteBuffer* keyBuffer) : mSchedule(new Schedule)
{
    uint8_t zeros[KeyBytes + BlockBytes] = {};
    const uint8_t* material = keyBuffer && keyBuffer->size() == KeyBytes + BlockBytes ? keyBuffer->data() : zeros;
    init(material, material + KeyBytes);
}

SymmetricCipher::~SymmetricCipher()
{
    std::memset(&mSchedule->key, 0, sizeof mSchedule->key);
    std::memset(mPad, 0, sizeof mPad);
}

void SymmetricCipher::init(const uint8_t key[KeyBytes], const uint8_t initVector[BlockBytes])
{
    int err = rijndael_setup(key, KeyBytes, 0, &mSchedule->key);
    SF_ASSERT(err == CRYPT_OK, "SymmetricCipher: AES key set-up failed.");
    std::memcpy(mInitVector, initVector, BlockBytes);
    std::memcpy(mCounter, initVector, BlockBytes);
    encryptBlock(mCounter, mPad);
    mPadPosition = 0;
}

void SymmetricCipher::encryptBlock(const uint8_t in[BlockBytes], uint8_t out[BlockBytes])
{
    rijndael_ecb_encrypt(in, out, &mSchedule->key);
}

void SymmetricCipher::setCounter(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3)
{
    const uint32_t add[4] = {w0, w1, w2, w3};
    for (int i = 0; i < 4; ++i) {
        const uint8_t* iv = mInitVector + 4 * i;
        uint32_t word = uint32_t(iv[0]) | uint32_t(iv[1]) << 8 | uint32_t(iv[2]) << 16 | uint32_t(iv[3]) << 24;
        word += add[i];
        uint8_t* out = mCounter + 4 * i;
        out[0] = uint8_t(word), out[1] = uint8_t(word >> 8), out[2] = uint8_t(word >> 16);
        out[3] = uint8_t(word >> 24);
    }
    encryptBlock(mCounter, mPad);
    mPadPosition = 0;
}

// Each output byte replaces its pad byte (the ciphertext feeds back); the
// next pad is the encryption of the previous 16 ciphertext bytes.
void SymmetricCipher::encrypt(const uint8_t* source, uint8_t* dest, uint32_t length)
{
    uint32_t i = 0;
    while (i < length) {
        if (mPadPosition == BlockBytes) {
            encryptBlock(mPad, mPad);
            mPadPosition = 0;
            // Whole blocks at once.
            while (length - i >= BlockBytes) {
                for (uint32_t k = 0; k < BlockBytes; ++k)
                    mPad[k] = dest[i + k] = source[i + k] ^ mPad[k];
                i += BlockBytes;
                if (i == length) {
                    mPadPosition = BlockBytes;
                    return;
                }
                encryptBlock(mPad, mPad);
            }
        }
        uint8_t out = source[i] ^ mPad[mPadPosition];
        mPad[mPadPosition++] = out;
        dest[i++] = out;
    }
}

void SymmetricCipher::decrypt(const uint8_t* source, uint8_t* dest, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) {
        if (mPadPosition == BlockBytes) {
            encryptBlock(mPad, mPad);
            mPadPosition = 0;
        }
        uint8_t in = source[i];
        dest[i] = in ^ mPad[mPadPosition];
        mPad[mPadPosition++] = in;
    }
}

// ---- packet protection -----------------------------------------------------

void appendDigestAndEncrypt(BitStream& stream, uint32_t digestSize, uint32_t encryptFrom, SymmetricCipher* cipher)
{
    SF_ASSERT(digestSize <= 32 && cipher, "appendDigestAndEncrypt: bad digest size or no cipher.");
    uint32_t end = stream.bytePosition();
    stream.setBytePosition(end);
    uint8_t digest[32];
    sha256(stream.data(), end, digest);
    stream.writeBytes(digestSize, digest);
    uint32_t sealedEnd = stream.bytePosition();
    uint8_t* bytes = stream.data();
    if (encryptFrom < sealedEnd)
        cipher->encrypt(bytes + encryptFrom, bytes + encryptFrom, sealedEnd - encryptFrom);
}

bool decryptAndVerifyDigest(BitStream& stream, uint32_t digestSize, uint32_t decryptFrom, SymmetricCipher* cipher)
{
    SF_ASSERT(digestSize <= 32 && cipher, "decryptAndVerifyDigest: bad digest size or no cipher.");
    uint32_t size = stream.size();
    if (uint64_t(size) < uint64_t(decryptFrom) + digestSize)
        return false;
    uint8_t* bytes = stream.data();
    cipher->decrypt(bytes + decryptFrom, bytes + decryptFrom, size - decryptFrom);
    uint8_t digest[32];
    sha256(bytes, size - digestSize, digest);
    if (std::memcmp(digest, bytes + size - digestSize, digestSize) != 0)
        return false;
    stream.resize(size - digestSize);
    return true;
}

} // namespace seafold
