#include "net/crypto.h"
#include "net/random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

using namespace seafold;

namespace {

void fixedSeed(uint8_t value)
{
    uint8_t seed[16];
    std::memset(seed, value, sizeof seed);
    Random::setFixedSeed(seed, sizeof seed);
}

std::vector<uint8_t> hexBytes(const char* hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(uint8_t(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

Nonce nonceOf(uint64_t value)
{
    Nonce n;
    for (int i = 0; i < 8; ++i)
        n.data[i] = uint8_t(value >> (56 - 8 * i));
    return n;
}

// ---- randomness ------------------------------------------------------------

TEST(Random, FixedSeedRepeatsTheSequenceAndOtherSeedsDoNot)
{
    uint8_t first[32], second[32], other[32];
    fixedSeed(7);
    Random::randomBytes(first, sizeof first);
    fixedSeed(7);
    Random::randomBytes(second, sizeof second);
    fixedSeed(8);
    Random::randomBytes(other, sizeof other);
    EXPECT_EQ(std::memcmp(first, second, sizeof first), 0);
    EXPECT_NE(std::memcmp(first, other, sizeof first), 0);

    // randomU32 composes the next four bytes most significant first.
    fixedSeed(9);
    uint8_t b[4];
    Random::randomBytes(b, 4);
    fixedSeed(9);
    EXPECT_EQ(Random::randomU32(), uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]);
}

TEST(Random, SystemSeedsDiffer)
{
    uint8_t first[16], second[16];
    Random::reseedFromSystem();
    Random::randomBytes(first, sizeof first);
    Random::reseedFromSystem();
    Random::randomBytes(second, sizeof second);
    EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
}

TEST(Random, ReadIStaysInRange)
{
    fixedSeed(1);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(Random::readI(5, 5), 5);
    bool sawLow = false, sawHigh = false;
    for (int i = 0; i < 2000; ++i) {
        int32_t v = Random::readI(-3, 3);
        ASSERT_GE(v, -3);
        ASSERT_LE(v, 3);
        sawLow |= v == -3;
        sawHigh |= v == 3;
    }
    EXPECT_TRUE(sawLow && sawHigh);
    // The whole 32-bit range must not divide by zero.
    Random::readI(INT32_MIN, INT32_MAX);
}

// ---- puzzles ---------------------------------------------------------------

// The first candidate at or after `start` that passes, found by plain search.
uint32_t firstSolution(uint32_t start, const Nonce& c, const Nonce& s, uint32_t difficulty, uint32_t identity)
{
    for (uint32_t candidate = start;; ++candidate)
        if (puzzleHashOk(candidate, c, s, difficulty, identity))
            return candidate;
}

// Runs the solver to completion (bounded: a difficulty-17 puzzle needs a few
// hundred thousand candidates).
uint32_t solve(const Nonce& c, const Nonce& s, uint32_t difficulty, uint32_t identity)
{
    uint32_t counter = 0;
    for (int call = 0; call < 2000; ++call)
        if (solvePuzzle(&counter, c, s, difficulty, identity))
            return counter;
    ADD_FAILURE() << "no solution found";
    return counter;
}

TEST(Puzzle, DifficultyCountsLeadingZeroBitsOfTheDigest)
{
    Nonce c = nonceOf(0x0102030405060708ull), s = nonceOf(0x1112131415161718ull);
    const uint32_t identity = 0xCAFEBABE;
    bool sawByte1High = false, sawByte1Low = false;
    for (uint32_t candidate = 0; candidate < 200000 && !(sawByte1High && sawByte1Low); ++candidate) {
        uint8_t d[32];
        puzzleDigest(d, candidate, c, s, identity);
        if (d[0] != 0) {
            EXPECT_FALSE(puzzleHashOk(candidate, c, s, 8, identity));
            continue;
        }
        EXPECT_TRUE(puzzleHashOk(candidate, c, s, 8, identity));
        EXPECT_EQ(puzzleHashOk(candidate, c, s, 9, identity), d[1] < 0x80);
        sawByte1High |= d[1] >= 0x80;
        sawByte1Low |= d[1] < 0x80;
    }
    EXPECT_TRUE(sawByte1High && sawByte1Low);
    EXPECT_TRUE(puzzleHashOk(12345, c, s, 0, identity));
    EXPECT_FALSE(puzzleHashOk(12345, c, s, 257, identity));
}

TEST(Puzzle, SolverFindsTheFirstPassingCandidate)
{
    // The solver has its own SHA-256; any slip in it shows up as a different
    // (or a wrong) first solution.
    fixedSeed(3);
    for (uint32_t round = 0; round < 24; ++round) {
        Nonce c, s;
        c.getRandom();
        s.getRandom();
        uint32_t identity = Random::randomU32();
        uint32_t difficulty = 1 + round % 12;
        uint32_t start = round == 0 ? 0xFFFFFF00u : Random::randomU32(); // one run wraps around
        uint32_t counter = start;
        ASSERT_TRUE(solvePuzzle(&counter, c, s, difficulty, identity));
        EXPECT_EQ(counter, firstSolution(start, c, s, difficulty, identity)) << "difficulty " << difficulty;
    }
}

TEST(Puzzle, SolverGivesUpAfterItsTimeSliceAndResumes)
{
    Nonce c = nonceOf(1), s = nonceOf(2);
    uint32_t counter = 100;
    // Nothing passes a difficulty above the digest size: the solver must
    // return, leaving the next untried candidate (whole blocks of 50000).
    EXPECT_FALSE(solvePuzzle(&counter, c, s, 300, 5));
    EXPECT_GT(counter, 100u);
    EXPECT_EQ((counter - 100) % 50000, 0u);
}

TEST(PuzzleManager, ChecksSolutionsInOrderOfTheRules)
{
    fixedSeed(11);
    PuzzleManager pm;
    const uint32_t identity = 77;
    const uint32_t difficulty = pm.currentDifficulty();
    Nonce server = pm.currentNonce();
    Nonce client = nonceOf(0xAAAA);
    uint32_t solution = solve(client, server, difficulty, identity);
    ASSERT_TRUE(puzzleHashOk(solution, client, server, difficulty, identity));

    EXPECT_EQ(pm.checkSolution(solution, client, server, difficulty - 1, identity), PuzzleWrongDifficulty);
    EXPECT_EQ(pm.checkSolution(solution, client, nonceOf(123), difficulty, identity), PuzzleUnknownServerNonce);
    uint32_t wrong = solution + 1;
    while (puzzleHashOk(wrong, client, server, difficulty, identity))
        ++wrong;
    EXPECT_EQ(pm.checkSolution(wrong, client, server, difficulty, identity), PuzzleWrongSolution);
    EXPECT_EQ(pm.checkSolution(solution, client, server, difficulty, identity ^ 1), PuzzleWrongSolution);
    // A wrong solution does not use up the client nonce.
    EXPECT_EQ(pm.checkSolution(solution, client, server, difficulty, identity), PuzzleSuccess);
    EXPECT_EQ(pm.checkSolution(solution, client, server, difficulty, identity), PuzzleClientNonceUsed);
}

TEST(PuzzleManager, AcceptsThePreviousNonceForOneMorePeriod)
{
    fixedSeed(12);
    PuzzleManager pm;
    const uint32_t identity = 5, difficulty = pm.currentDifficulty();
    pm.tick(30000); // not more than 30 s after the start: no change
    Nonce first = pm.currentNonce();
    pm.tick(30001);
    Nonce second = pm.currentNonce();
    EXPECT_NE(first, second);

    Nonce clientA = nonceOf(1), clientB = nonceOf(2);
    uint32_t a = solve(clientA, second, difficulty, identity);
    uint32_t b = solve(clientB, second, difficulty, identity);
    EXPECT_EQ(pm.checkSolution(a, clientA, second, difficulty, identity), PuzzleSuccess);

    pm.tick(60001); // exactly 30 s later: still no change
    EXPECT_EQ(pm.currentNonce(), second);
    pm.tick(60002);
    EXPECT_NE(pm.currentNonce(), second);
    // The previous nonce still works, and still remembers its client nonces.
    EXPECT_EQ(pm.checkSolution(b, clientB, second, difficulty, identity), PuzzleSuccess);
    EXPECT_EQ(pm.checkSolution(a, clientA, second, difficulty, identity), PuzzleClientNonceUsed);

    pm.tick(90003);
    EXPECT_EQ(pm.checkSolution(b, clientB, second, difficulty, identity), PuzzleUnknownServerNonce);

    // The clock wraps after 49.7 days; only the difference counts.
    Nonce beforeWrap = pm.currentNonce();
    pm.tick(0xFFFFFF00u);
    Nonce atWrap = pm.currentNonce();
    EXPECT_NE(atWrap, beforeWrap);
    pm.tick(100);
    EXPECT_EQ(pm.currentNonce(), atWrap);
}

TEST(NonceSet, RemembersEachNonceOnceUntilReset)
{
    fixedSeed(13);
    NonceSet set;
    uint32_t buckets = set.bucketCount();
    EXPECT_EQ(buckets % 2, 1u);
    EXPECT_GE(buckets, 255u);
    EXPECT_LE(buckets, 775u);
    // Nonces that share a bucket must still be told apart.
    for (uint64_t i = 0; i < 1000; ++i)
        ASSERT_TRUE(set.checkAdd(nonceOf(i * buckets + 3)));
    for (uint64_t i = 0; i < 1000; ++i)
        ASSERT_FALSE(set.checkAdd(nonceOf(i * buckets + 3)));
    set.reset();
    EXPECT_TRUE(set.checkAdd(nonceOf(3)));
}

// ---- packet cipher -----------------------------------------------------------

TEST(SymmetricCipher, FirstBlockIsAes128OfTheInitVector)
{
    // FIPS-197 appendix C.1: AES-128 of 00112233..ff under key 00010203..0f.
    std::vector<uint8_t> key = hexBytes("000102030405060708090a0b0c0d0e0f");
    std::vector<uint8_t> iv = hexBytes("00112233445566778899aabbccddeeff");
    SymmetricCipher cipher(key.data(), iv.data());
    uint8_t zeros[16] = {}, out[16];
    cipher.encrypt(zeros, out, 16);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), hexBytes("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST(SymmetricCipher, MatchesCipherFeedbackTestVectors)
{
    // NIST SP 800-38A F.3.13, CFB128-AES128.
    std::vector<uint8_t> key = hexBytes("2b7e151628aed2a6abf7158809cf4f3c");
    std::vector<uint8_t> iv = hexBytes("000102030405060708090a0b0c0d0e0f");
    std::vector<uint8_t> plain = hexBytes("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    std::vector<uint8_t> expected = hexBytes("3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b");
    std::vector<uint8_t> out(plain.size());
    SymmetricCipher enc(key.data(), iv.data());
    enc.encrypt(plain.data(), out.data(), uint32_t(plain.size()));
    EXPECT_EQ(out, expected);
    SymmetricCipher dec(key.data(), iv.data());
    dec.decrypt(out.data(), out.data(), uint32_t(out.size()));
    EXPECT_EQ(out, plain);
}

TEST(SymmetricCipher, PiecesOfAnyLengthGiveTheSameBytes)
{
    fixedSeed(21);
    uint8_t key[16], iv[16];
    Random::randomBytes(key, 16);
    Random::randomBytes(iv, 16);
    std::vector<uint8_t> plain(1000);
    Random::randomBytes(plain.data(), uint32_t(plain.size()));

    std::vector<uint8_t> whole(plain.size());
    SymmetricCipher(key, iv).encrypt(plain.data(), whole.data(), uint32_t(plain.size()));

    const uint32_t encryptPieces[] = {1, 15, 16, 17, 0, 33, 48, 5, 64, 3, 2, 100, 31, 32, 16};
    const uint32_t decryptPieces[] = {7, 16, 16, 1, 0, 40, 9, 65, 13};
    std::vector<uint8_t> pieces = plain; // in place
    SymmetricCipher enc(key, iv);
    for (size_t at = 0, i = 0; at < pieces.size(); ++i) {
        uint32_t n = std::min<uint32_t>(encryptPieces[i % 15], uint32_t(pieces.size() - at));
        enc.encrypt(pieces.data() + at, pieces.data() + at, n);
        at += n;
    }
    EXPECT_EQ(pieces, whole);

    SymmetricCipher dec(key, iv);
    std::vector<uint8_t> back(pieces.size());
    for (size_t at = 0, i = 0; at < back.size(); ++i) {
        uint32_t n = std::min<uint32_t>(decryptPieces[i % 9], uint32_t(back.size() - at));
        dec.decrypt(pieces.data() + at, back.data() + at, n);
        at += n;
    }
    EXPECT_EQ(back, plain);
}

TEST(SymmetricCipher, KeyBufferOf32BytesIsKeyThenInitVectorAndAnyOtherSizeIsZeros)
{
    uint8_t material[32];
    for (int i = 0; i < 32; ++i)
        material[i] = uint8_t(i * 7 + 1);
    uint8_t zeros[16] = {};
    const uint8_t plain[20] = {1, 2, 3};
    auto encryptWith = [&](SymmetricCipher& c) {
        std::vector<uint8_t> out(sizeof plain);
        c.encrypt(plain, out.data(), sizeof plain);
        return out;
    };

    ByteBuffer exact(material, 32);
    SymmetricCipher fromBuffer(&exact), direct(material, material + 16);
    EXPECT_EQ(encryptWith(fromBuffer), encryptWith(direct));

    ByteBuffer shortBuffer(material, 31);
    SymmetricCipher fromShort(&shortBuffer), zero(zeros, zeros), fromNone(nullptr);
    std::vector<uint8_t> expected = encryptWith(zero);
    EXPECT_EQ(encryptWith(fromShort), expected);
    EXPECT_EQ(encryptWith(fromNone), expected);
}

TEST(SymmetricCipher, SetCounterAddsLittleEndianWordsToTheInitVector)
{
    uint8_t key[16] = {9};
    uint8_t iv[16];
    for (int i = 0; i < 16; ++i)
        iv[i] = uint8_t(0xF0 + i);
    iv[0] = iv[1] = iv[2] = iv[3] = 0xFF; // word 0 wraps without carrying into word 1
    SymmetricCipher counted(key, iv);
    uint8_t scratch[5];
    counted.encrypt(scratch, scratch, 5); // setCounter restarts mid-block too
    counted.setCounter(1, 2, 0x100, 0);

    uint8_t shifted[16];
    std::memcpy(shifted, iv, 16);
    shifted[0] = shifted[1] = shifted[2] = shifted[3] = 0;
    shifted[4] = uint8_t(iv[4] + 2);
    shifted[9] = uint8_t(iv[9] + 1);
    SymmetricCipher reference(key, shifted);

    uint8_t plain[40] = {}, a[40], b[40];
    counted.encrypt(plain, a, 40);
    reference.encrypt(plain, b, 40);
    EXPECT_EQ(std::memcmp(a, b, 40), 0);
}

// ---- packet protection -------------------------------------------------------

TEST(PacketProtection, SealedPacketsOpenAndTamperingIsCaught)
{
    uint8_t key[32];
    for (int i = 0; i < 32; ++i)
        key[i] = uint8_t(i);
    ByteBuffer keyBuffer(key, 32);

    uint8_t packet[64] = {};
    BitStream out(packet, sizeof packet);
    out.writeU32(0x01020304);
    out.writeU32(0xA0B0C0D0);
    out.writeUnsigned(5, 3); // ends mid-byte: the digest starts on the next byte
    SymmetricCipher sealer(&keyBuffer);
    appendDigestAndEncrypt(out, 5, 2, &sealer);
    ASSERT_FALSE(out.hasError());
    const uint32_t sealedSize = out.bytePosition();
    ASSERT_EQ(sealedSize, 9u + 5u);
    EXPECT_EQ(packet[0], 0x04); // bytes before encryptFrom stay clear
    EXPECT_EQ(packet[1], 0x03);

    auto open = [&](std::vector<uint8_t> bytes, uint32_t* sizeAfter) {
        BitStream in(bytes.data(), uint32_t(bytes.size()));
        SymmetricCipher opener(&keyBuffer);
        bool ok = decryptAndVerifyDigest(in, 5, 2, &opener);
        *sizeAfter = in.size();
        if (ok) {
            EXPECT_EQ(in.readU32(), 0x01020304u);
            EXPECT_EQ(in.readU32(), 0xA0B0C0D0u);
            EXPECT_EQ(in.readUnsigned(3), 5u);
        }
        return ok;
    };
    std::vector<uint8_t> sealed(packet, packet + sealedSize);
    uint32_t size = 0;
    EXPECT_TRUE(open(sealed, &size));
    EXPECT_EQ(size, sealedSize - 5);

    for (uint32_t i = 0; i < sealedSize; ++i) {
        std::vector<uint8_t> tampered = sealed;
        tampered[i] ^= 0x10;
        EXPECT_FALSE(open(tampered, &size)) << "byte " << i;
        EXPECT_EQ(size, sealedSize);
    }
    std::vector<uint8_t> cut(sealed.begin(), sealed.end() - 1);
    EXPECT_FALSE(open(cut, &size));
}

TEST(PacketProtection, TooShortDatagramIsRefusedUntouched)
{
    uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    BitStream in(bytes, sizeof bytes);
    SymmetricCipher cipher(nullptr);
    EXPECT_FALSE(decryptAndVerifyDigest(in, 5, 2, &cipher));
    const uint8_t original[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(bytes, original, 6), 0);
}

// ---- keys and certificates -----------------------------------------------------

class CapturedLines : public LogSink {
public:
    void logString(const char* line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

TEST(AsymmetricKey, TwoKeyPairsAgreeOnASharedSecret)
{
    fixedSeed(31);
    RefPtr<AsymmetricKey> a = new AsymmetricKey(32), b = new AsymmetricKey(32);
    ASSERT_TRUE(a->isValid());
    ASSERT_TRUE(b->isValid());
    EXPECT_TRUE(a->hasPrivateKey());

    CapturedLines lines;
    RefPtr<ByteBuffer> ab = a->computeSharedSecret(b), ba = b->computeSharedSecret(a);
    ASSERT_TRUE(ab.isValid() && ba.isValid());
    ASSERT_EQ(ab->size(), 32u);
    EXPECT_EQ(std::memcmp(ab->data(), ba->data(), 32), 0);
    // Agreeing prints nothing: it runs at every secure join, and a flood of
    // connect requests would fill standard error.
    EXPECT_TRUE(lines.lines.empty()) << lines.lines[0];

    // The other side usually has only the public half.
    RefPtr<AsymmetricKey> bPublic = new AsymmetricKey(b->publicKey()->data(), b->publicKey()->size());
    ASSERT_TRUE(bPublic->isValid());
    EXPECT_FALSE(bPublic->hasPrivateKey());
    RefPtr<ByteBuffer> viaPublic = a->computeSharedSecret(bPublic);
    ASSERT_TRUE(viaPublic.isValid());
    EXPECT_EQ(std::memcmp(viaPublic->data(), ab->data(), 32), 0);
    // A public key cannot compute a secret; keys of other sizes do not mix.
    EXPECT_TRUE(bPublic->computeSharedSecret(a).isNull());
    RefPtr<AsymmetricKey> small = new AsymmetricKey(24);
    ASSERT_TRUE(small->isValid());
    EXPECT_TRUE(a->computeSharedSecret(small).isNull());
}

TEST(AsymmetricKey, KeyBuffersRoundTrip)
{
    fixedSeed(32);
    RefPtr<AsymmetricKey> key = new AsymmetricKey(32);
    ASSERT_TRUE(key->isValid());
    ByteBuffer* priv = key->privateKey();
    ByteBuffer* pub = key->publicKey();
    EXPECT_EQ(priv->data()[0], AsymmetricKey::KeyTypePrivate);
    EXPECT_EQ(pub->data()[0], AsymmetricKey::KeyTypePublic);
    const uint8_t size32[4] = {0, 0, 0, 32};
    EXPECT_EQ(std::memcmp(pub->data() + 1, size32, 4), 0);

    RefPtr<AsymmetricKey> copy = new AsymmetricKey(priv->data(), priv->size());
    ASSERT_TRUE(copy->isValid());
    EXPECT_TRUE(copy->hasPrivateKey());
    EXPECT_EQ(copy->keySize(), 32u);
    ASSERT_EQ(copy->publicKey()->size(), pub->size());
    EXPECT_EQ(std::memcmp(copy->publicKey()->data(), pub->data(), pub->size()), 0);

    // Through a stream, as keys travel.
    uint8_t bytes[1200];
    BitStream out(bytes, sizeof bytes);
    ASSERT_TRUE(out.writeBuffer(pub));
    BitStream in(bytes, out.bytePosition());
    RefPtr<AsymmetricKey> fromStream = new AsymmetricKey(in);
    ASSERT_TRUE(fromStream->isValid());
    EXPECT_FALSE(fromStream->hasPrivateKey());
}

TEST(AsymmetricKey, MalformedBuffersGiveInvalidKeys)
{
    fixedSeed(33);
    RefPtr<AsymmetricKey> key = new AsymmetricKey(32);
    std::vector<uint8_t> pub(key->publicKey()->data(), key->publicKey()->data() + key->publicKey()->size());
    std::vector<uint8_t> priv(key->privateKey()->data(), key->privateKey()->data() + key->privateKey()->size());

    std::vector<std::vector<uint8_t>> bad;
    bad.push_back({});
    bad.push_back({1, 0, 0, 0});
    bad.push_back({1, 0, 0, 0, 32});
    bad.push_back(std::vector<uint8_t>(pub.begin(), pub.end() - 1)); // truncated
    std::vector<uint8_t> wrongType = pub;
    wrongType[0] = 7;
    bad.push_back(wrongType);
    std::vector<uint8_t> claimsPrivate = pub; // type byte disagrees with the export
    claimsPrivate[0] = AsymmetricKey::KeyTypePrivate;
    bad.push_back(claimsPrivate);
    std::vector<uint8_t> claimsPublic = priv;
    claimsPublic[0] = AsymmetricKey::KeyTypePublic;
    bad.push_back(claimsPublic);
    std::vector<uint8_t> garbage(80, 0x30);
    garbage[0] = 1;
    bad.push_back(garbage);
    for (size_t i = 0; i < bad.size(); ++i) {
        RefPtr<AsymmetricKey> k = new AsymmetricKey(bad[i].data(), uint32_t(bad[i].size()));
        EXPECT_FALSE(k->isValid()) << "case " << i;
        EXPECT_TRUE(k->computeSharedSecret(key).isNull());
    }
    RefPtr<AsymmetricKey> tooBig = new AsymmetricKey(4096);
    EXPECT_FALSE(tooBig->isValid());
}

std::vector<uint8_t> certificateBytes(ByteBuffer* payload, ByteBuffer* key, ByteBuffer* signature,
                                      uint32_t* signatureAt)
{
    uint8_t bytes[3000] = {};
    BitStream out(bytes, sizeof bytes);
    out.writeBuffer(payload);
    out.writeBuffer(key);
    out.setBytePosition(out.bytePosition());
    *signatureAt = out.bytePosition();
    out.writeBuffer(signature);
    return std::vector<uint8_t>(bytes, bytes + out.bytePosition());
}

TEST(Certificate, ParsesPayloadKeyAndSignatureAndNeedsAnExactFit)
{
    fixedSeed(34);
    RefPtr<AsymmetricKey> key = new AsymmetricKey(32);
    uint8_t payloadBytes[3] = {'a', 'b', 'c'}, signatureBytes[5] = {9, 8, 7, 6, 5};
    ByteBuffer payload(payloadBytes, 3), signature(signatureBytes, 5);
    uint32_t signatureAt = 0;
    std::vector<uint8_t> bytes = certificateBytes(&payload, key->publicKey(), &signature, &signatureAt);

    RefPtr<Certificate> cert = new Certificate(bytes.data(), uint32_t(bytes.size()));
    ASSERT_TRUE(cert->isValid());
    EXPECT_EQ(cert->payload()->size(), 3u);
    EXPECT_EQ(std::memcmp(cert->payload()->data(), payloadBytes, 3), 0);
    EXPECT_EQ(cert->signature()->size(), 5u);
    EXPECT_EQ(cert->signatureBytePosition(), signatureAt);
    EXPECT_EQ(cert->publicKey()->publicKey()->size(), key->publicKey()->size());

    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(RefPtr<Certificate>(new Certificate(longer.data(), uint32_t(longer.size())))->isValid());
    std::vector<uint8_t> shorter(bytes.begin(), bytes.end() - 1);
    EXPECT_FALSE(RefPtr<Certificate>(new Certificate(shorter.data(), uint32_t(shorter.size())))->isValid());

    // From a stream: the whole certificate inside one buffer.
    uint8_t wire[3000];
    BitStream out(wire, sizeof wire);
    ByteBuffer whole(bytes.data(), uint32_t(bytes.size()));
    ASSERT_TRUE(out.writeBuffer(&whole));
    BitStream in(wire, out.bytePosition());
    RefPtr<Certificate> fromStream = new Certificate(in);
    EXPECT_TRUE(fromStream->isValid());
}

} // namespace
