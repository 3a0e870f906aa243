// Nonces, the server's client-puzzle manager and the client's solver,
// elliptic-curve keys and certificates, the packet cipher, and the sealing of
// packets with a digest and that cipher.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/datachunker.h"
#include "net/bitstream.h"
#include "net/netbase.h"

namespace seafold {

// ---- nonces ----------------------------------------------------------------

// 8 bytes, compared byte for byte; on the wire as 8 plain bytes.
struct Nonce {
    enum : uint32_t { SizeBytes = 8 };
    uint8_t data[SizeBytes] = {};

    void getRandom();
    void write(BitStream& stream) const { stream.writeBytes(SizeBytes, data); }
    bool read(BitStream& stream) { return stream.readBytes(SizeBytes, data); }
    bool operator==(const Nonce& other) const;
    bool operator!=(const Nonce& other) const { return !(*this == other); }
};

// The client nonces seen for one server nonce.
class NonceSet {
public:
    NonceSet();
    NonceSet(const NonceSet&) = delete;
    NonceSet& operator=(const NonceSet&) = delete;

    // Empties the set and draws a new bucket count.
    void reset();
    // Adds the nonce; false when it was already there.
    bool checkAdd(const Nonce& nonce);
    bool contains(const Nonce& nonce) const;
    uint32_t bucketCount() const { return uint32_t(mBuckets.size()); }

private:
    struct Entry {
        Nonce nonce;
        Entry* next;
    };
    ChunkAllocator mAllocator{16376};
    std::vector<Entry*> mBuckets;
};

// ---- client puzzles --------------------------------------------------------

enum PuzzleResult : uint32_t {
    PuzzleSuccess = 0,
    PuzzleWrongSolution = 1,
    PuzzleUnknownServerNonce = 2,
    PuzzleClientNonceUsed = 3,
    PuzzleWrongDifficulty = 4,
};

// SHA-256 of the 24 puzzle bytes: solution (4 bytes, big-endian), identity
// token (4 bytes, big-endian), client nonce (8), server nonce (8).
void puzzleDigest(uint8_t digest[32], uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce,
                  uint32_t identity);
// True when the first `difficulty` bits of the digest, from the most
// significant bit of byte 0 on, are zero. Difficulties above 256 never pass.
bool puzzleHashOk(uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce, uint32_t difficulty,
                  uint32_t identity);
// Client side: tries the candidates *solution, *solution + 1, ... in blocks
// of 50000 until one passes (stored, true) or more than 30 ms have passed
// after a block (the next untried candidate is stored, false: call again).
bool solvePuzzle(uint32_t* solution, const Nonce& clientNonce, const Nonce& serverNonce, uint32_t difficulty,
                 uint32_t identity);

// Server side: the current and previous server nonces and the client nonces
// used with each. One per interface.
class PuzzleManager {
public:
    enum : uint32_t { InitialDifficulty = 17, NonceRefreshMs = 30000 };

    PuzzleManager();
    // Called with the current clock on every connection-processing step;
    // changes the server nonce once more than 30 s have passed. True when it
    // did (the interface rotates its token secret with it).
    bool tick(uint32_t now);
    const Nonce& currentNonce() const { return mCurrentNonce; }
    uint32_t currentDifficulty() const { return mCurrentDifficulty; }
    // The difficulty given in challenges from now on. A solution is good at
    // this difficulty or any harder one up to MaxDifficulty, so a
    // difficulty that falls does not fail the clients still solving.
    void setDifficulty(uint32_t difficulty) { mCurrentDifficulty = difficulty; }
    enum : uint32_t { MaxDifficulty = 26 };
    // verifySolution, then useClientNonce.
    PuzzleResult checkSolution(uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce,
                               uint32_t difficulty, uint32_t identity);
    // The same checks without recording the client nonce as used, so that a
    // request can be checked before anything is made for it and the nonce
    // used up only once the whole request has been read.
    PuzzleResult verifySolution(uint32_t solution, const Nonce& clientNonce, const Nonce& serverNonce,
                                uint32_t difficulty, uint32_t identity) const;
    // Records the client nonce as used with this server nonce; false when it
    // already was, or the server nonce is no longer known.
    bool useClientNonce(const Nonce& clientNonce, const Nonce& serverNonce);

private:
    uint32_t mCurrentDifficulty = InitialDifficulty;
    uint32_t mLastUpdateTime = 0;
    Nonce mCurrentNonce;
    Nonce mLastNonce;
    NonceSet mSets[2];
    NonceSet* mCurrentSet = &mSets[0];
    NonceSet* mLastSet = &mSets[1];
};

// ---- keys and certificates -------------------------------------------------

// An elliptic-curve key pair, or a public key alone.
//
// Key buffer (how a key travels, inside writeBuffer):
//   type   (u8: 0 private, 1 public)
//   size   (u32, big-endian: key size in bytes)
//   export (the library's ECC export of that type)
class AsymmetricKey : public Object {
public:
    enum : uint8_t { KeyTypePrivate = 0, KeyTypePublic = 1 };
    enum : uint32_t { MaxKeyBufferBytes = 2048 };

    // A new key pair of `keySize` bytes (valid unless generation failed).
    explicit AsymmetricKey(uint32_t keySize);
    // From a key buffer; invalid when it cannot be read.
    AsymmetricKey(const uint8_t* buffer, uint32_t size);
    // readBuffer, then the key buffer form.
    explicit AsymmetricKey(BitStream& stream);
    ~AsymmetricKey() override;

    bool isValid() const { return mValid; }
    bool hasPrivateKey() const { return mHasPrivateKey; }
    uint32_t keySize() const { return mKeySize; }
    // Key buffers (empty when there is none).
    ByteBuffer* publicKey() const { return mPublicKey; }
    ByteBuffer* privateKey() const { return mPrivateKey; }

    // The SHA-256 of the shared secret of this private key and the other's
    // public key: 32 bytes, a SymmetricCipher key buffer. None unless both
    // keys are valid, of one size, and this one is private.
    RefPtr<ByteBuffer> computeSharedSecret(const AsymmetricKey* other) const;

private:
    struct KeyHolder;
    void load(const uint8_t* buffer, uint32_t size);
    std::unique_ptr<KeyHolder> mKey;
    uint32_t mKeySize = 0;
    RefPtr<ByteBuffer> mPublicKey;
    RefPtr<ByteBuffer> mPrivateKey;
    bool mHasPrivateKey = false;
    bool mValid = false;
};

// A short name of a public key that people can read out and compare: the
// first 8 bytes of the SHA-256 of its public-key buffer, as 16 lower-case hex
// digits. Making a different key with the same name takes about 2^64 tries.
// Empty for no key or an invalid one.
enum : uint32_t { KeyFingerprintBytes = 8 };
std::string keyFingerprint(const AsymmetricKey* key);

// HMAC-SHA-256 of `data` keyed by `key` (RFC 2104): 32 bytes into `mac`.
// False when the library refuses (it does not for any length).
bool hmacSha256(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length, uint8_t mac[32]);
// Equal bytes, in a time that does not depend on where they differ.
bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length);

// Certificate bytes:
//   payload    (readBuffer)
//   public key (readBuffer holding a key buffer)
//   -- from the next byte boundary (signature position) --
//   signature  (readBuffer)
// Valid when every read succeeded, the reads end exactly at the last byte
// and the key is valid. The signature is not checked here.
class Certificate : public ByteBuffer {
public:
    // readBuffer of the whole certificate, then parsed as above.
    explicit Certificate(BitStream& stream);
    // Copies and parses the bytes.
    Certificate(const uint8_t* data, uint32_t size);

    bool isValid() const { return mValid; }
    AsymmetricKey* publicKey() const { return mPublicKey; }
    ByteBuffer* payload() const { return mPayload; }
    ByteBuffer* signature() const { return mSignature; }
    uint32_t signatureBytePosition() const { return mSignatureBytePosition; }

private:
    void parse();
    RefPtr<ByteBuffer> mPayload;
    RefPtr<AsymmetricKey> mPublicKey;
    RefPtr<ByteBuffer> mSignature;
    uint32_t mSignatureBytePosition = 0;
    bool mValid = false;
};

// ---- packet cipher ---------------------------------------------------------

// AES-128 in cipher-feedback mode with 128-bit feedback, restartable at any
// byte: encrypting or decrypting a message in pieces of any lengths gives the
// same bytes as doing it at once.
class SymmetricCipher : public Object {
public:
    enum : uint32_t { KeyBytes = 16, BlockBytes = 16 };

    SymmetricCipher(const uint8_t key[KeyBytes], const uint8_t initVector[BlockBytes]);
    // 32 bytes: AES key then init vector. Any other size (or none) gives an
    // all-zero key and init vector.
    explicit SymmetricCipher(const ByteBuffer* keyBuffer);
    ~SymmetricCipher() override;

    // counter word i = init vector word i + wi (little-endian words, mod
    // 2^32); restarts the key stream from the counter.
    void setCounter(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3);
    // Source and destination may be the same.
    void encrypt(const uint8_t* source, uint8_t* dest, uint32_t length);
    void decrypt(const uint8_t* source, uint8_t* dest, uint32_t length);

private:
    struct Schedule;
    void init(const uint8_t key[KeyBytes], const uint8_t initVector[BlockBytes]);
    void encryptBlock(const uint8_t in[BlockBytes], uint8_t out[BlockBytes]);
    std::unique_ptr<Schedule> mSchedule;
    uint8_t mCounter[BlockBytes];
    uint8_t mInitVector[BlockBytes];
    uint8_t mPad[BlockBytes];
    uint32_t mPadPosition = 0;
};

// ---- packet sealing --------------------------------------------------------

// A sealed packet carries the first 5 bytes of the SHA-256 of its contents:
// the length both ends of the wire expect, and enough to turn away corrupted
// or forged packets without spending much of a datagram on it.
enum : uint32_t { SealDigestBytes = 5 };

// Pads the stream to a byte boundary, appends the first `digestSize` bytes of
// the SHA-256 of everything so far, and encrypts bytes encryptFrom.. in place.
void appendDigestAndEncrypt(BitStream& stream, uint32_t digestSize, uint32_t encryptFrom, SymmetricCipher* cipher);
// On a stream covering one received datagram: decrypts from decryptFrom,
// checks the trailing digest and drops it from the size. A datagram too short
// to hold the digest is refused untouched.
bool decryptAndVerifyDigest(BitStream& stream, uint32_t digestSize, uint32_t decryptFrom, SymmetricCipher* cipher);

} // namespace seafold
