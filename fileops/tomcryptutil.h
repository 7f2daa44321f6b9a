#pragma once

#include <tomcrypt.h>

#include <exception>
#include <string>
#include <vector>

// Thin layer over LibTomCrypt (with libtommath as its math provider) for the
// RSASSA-PSS signatures of product ini files: PKCS #1 v2.1, SHA-1 as digest
// and MGF1 hash, salt length 8. Every library failure is thrown as a
// crypt_exception; callers catch it. The updater itself only verifies; the
// signing side serves the publisher tool.

// The one exception type of the system: a byte string returned by what().
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string text);
    const char *what() const noexcept override;

private:
    std::string m_text;
};

// Indices under which SHA-1 and the system PRNG are registered.
extern int hash_idx;
extern int prng_idx;

// Size of a key buffer: the compiled-in public key and the key files.
constexpr unsigned long KEY_BUFFER_SIZE = 2048;
// Most bytes read from a key file: room for the DER private key of an
// 8192-bit key, which outgrows KEY_BUFFER_SIZE beyond about 3500 bits.
constexpr unsigned long KEY_FILE_LIMIT = 8192;
// Salt length of every signature.
constexpr unsigned long SIGNATURE_SALT_LENGTH = 8;

// Registers the system PRNG, the math provider and SHA-1. Must run on the
// main thread before the first key import; running it again is harmless.
void crypt_init();

// SHA-1 of in[0..len) into the 20 bytes at out.
void hash_msg(const unsigned char *in, unsigned long len, unsigned char *out);

// True when sig is a valid signature of data. A malformed signature (for
// example one whose length differs from the modulus length) throws.
bool verify_msg(rsa_key *key, const unsigned char *data, unsigned long dataLen, unsigned char *sig,
                unsigned long sigLen);

// Imports a DER key (PKCS #1 public or private) from the head of in[0..len);
// trailing bytes are ignored. The caller frees the key with rsa_free(), or
// lets an RsaKey hold it.
void load_key(rsa_key *key, const unsigned char *in, unsigned long len);

// Owns one key and frees it with rsa_free() when it goes out of scope. Empty
// until load() or create() has succeeded; both throw like the functions they
// call and leave the holder empty then.
class RsaKey
{
public:
    RsaKey() = default;
    ~RsaKey();
    RsaKey(const RsaKey &) = delete;
    RsaKey &operator=(const RsaKey &) = delete;

    void load(const unsigned char *in, unsigned long len);
    void load(const char *fileName);
    void create(int bits);

    rsa_key *get() { return &m_key; }
    bool isPrivate() const { return m_loaded && m_key.type == PK_PRIVATE; }

private:
    void reset();

    rsa_key m_key {};
    bool m_loaded = false;
};

// Does nothing for CRYPT_OK; otherwise throws "<name>: <library text>".
void check_err(const char *name, int err);

// Signing side.

// Signs data: SHA-1, then RSASSA-PSS with salt length 8. On entry *sigLen is
// the room at sig, on return the signature's length (the modulus length).
void sign_msg(rsa_key *key, const unsigned char *data, unsigned long dataLen, unsigned char *sig,
              unsigned long *sigLen);

// A new key of the given modulus size (a multiple of 8, from 1024 to 8192)
// with public exponent 65537.
void create_key(rsa_key *key, int bits = 1024);

// The key as DER: PK_PRIVATE gives a PKCS #1 RSAPrivateKey, PK_PUBLIC a
// PKCS #1 RSAPublicKey (SEQUENCE of modulus and exponent).
std::vector<unsigned char> export_key(rsa_key *key, int type);

// Exports the key of the given type, zero-padded to KEY_BUFFER_SIZE bytes if
// it is shorter, and writes all of it to the file.
void save_key(rsa_key *key, int type, const char *fileName);

// Reads KEY_FILE_LIMIT bytes (or the shorter whole file) and imports them.
void load_key(rsa_key *key, const char *fileName);

// Writes fileName + ".sig": the signature (sign_msg) of the whole file.
void sign_file(rsa_key *key, const char *fileName);

// Reads a whole file in chunks of 2048 bytes.
std::vector<unsigned char> read_file(const char *fileName);

// Writes len bytes to the file, replacing it.
void write_file(const char *fileName, const unsigned char *data, unsigned long len);
