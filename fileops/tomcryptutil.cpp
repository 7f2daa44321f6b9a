#include "fileops/tomcryptutil.h"

#include "formats/productini.h"

#include <cstdio>
#include <memory>
#include <utility>

int hash_idx = -1;
int prng_idx = -1;

namespace {

constexpr unsigned long sha1Size = 20;
constexpr size_t readChunk = 2048;

struct FileCloser
{
    void operator()(FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

} // namespace

crypt_exception::crypt_exception(std::string text)
    : m_text(std::move(text))
{ }

const char *crypt_exception::what() const noexcept
{
    return m_text.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sha1");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

void check_err(const char *name, int err)
{
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(name) + ": " + error_to_string(err));
}

void hash_msg(const unsigned char *in, unsigned long len, unsigned char *out)
{
    hash_state state;
    check_err("sha1_init", sha1_init(&state));
    check_err("sha1_process", sha1_process(&state, in, len));
    check_err("sha1_done", sha1_done(&state, out));
}

bool verify_msg(rsa_key *key, const unsigned char *data, unsigned long dataLen, unsigned char *sig,
                unsigned long sigLen)
{
    unsigned char hash[sha1Size];
    hash_msg(data, dataLen, hash);
    int valid = 0;
    check_err("rsa_verify_hash",
              rsa_verify_hash_ex(sig, sigLen, hash, sha1Size, LTC_PKCS_1_PSS, hash_idx,
                                 SIGNATURE_SALT_LENGTH, &valid, key));
    return valid == 1;
}

void load_key(rsa_key *key, const unsigned char *in, unsigned long len)
{
    // Without a math provider the library aborts the process instead of
    // returning an error.
    if (ltc_mp.name == nullptr)
        throw crypt_exception("rsa_import: crypt_init() has not run");
    check_err("rsa_import", rsa_import(in, len, key));
}

void sign_msg(rsa_key *key, const unsigned char *data, unsigned long dataLen, unsigned char *sig,
              unsigned long *sigLen)
{
    unsigned char hash[sha1Size];
    hash_msg(data, dataLen, hash);
    prng_state prng; // sprng keeps no state; the library still wants one
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(hash, sha1Size, sig, sigLen, LTC_PKCS_1_PSS, &prng, prng_idx,
                               hash_idx, SIGNATURE_SALT_LENGTH, key));
}

void create_key(rsa_key *key, int bits)
{
    if (ltc_mp.name == nullptr)
        throw crypt_exception("rsa_make_key: crypt_init() has not run");
    prng_state prng;
    check_err("rsa_make_key", rsa_make_key(&prng, prng_idx, bits / 8, 65537, key));
}

std::vector<unsigned char> export_key(rsa_key *key, int type)
{
    std::vector<unsigned char> buffer(KEY_FILE_LIMIT);
    unsigned long length = buffer.size();
    check_err("rsa_export", rsa_export(buffer.data(), &length, type, key));
    buffer.resize(length);
    return buffer;
}

void save_key(rsa_key *key, int type, const char *fileName)
{
    std::vector<unsigned char> buffer = export_key(key, type);
    if (buffer.size() < KEY_BUFFER_SIZE)
        buffer.resize(KEY_BUFFER_SIZE, 0);
    write_file(fileName, buffer.data(), buffer.size());
}

void load_key(rsa_key *key, const char *fileName)
{
    FilePtr file(std::fopen(fileName, "rb"));
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + fileName);
    std::vector<unsigned char> buffer(KEY_FILE_LIMIT);
    const size_t length = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + fileName);
    load_key(key, buffer.data(), length);
}

void sign_file(rsa_key *key, const char *fileName)
{
    const std::vector<unsigned char> content = read_file(fileName);
    unsigned char signature[KEY_BUFFER_SIZE];
    unsigned long signatureLength = sizeof signature;
    sign_msg(key, content.data(), content.size(), signature, &signatureLength);
    const std::string signatureName
        = std::string(fileName) + ProductIni::SignatureSuffix.toStdString();
    write_file(signatureName.c_str(), signature, signatureLength);
}

RsaKey::~RsaKey()
{
    reset();
}

void RsaKey::reset()
{
    if (m_loaded)
        rsa_free(&m_key);
    m_loaded = false;
}

void RsaKey::load(const unsigned char *in, unsigned long len)
{
    reset();
    load_key(&m_key, in, len);
    m_loaded = true;
}

void RsaKey::load(const char *fileName)
{
    reset();
    load_key(&m_key, fileName);
    m_loaded = true;
}

void RsaKey::create(int bits)
{
    reset();
    create_key(&m_key, bits);
    m_loaded = true;
}

std::vector<unsigned char> read_file(const char *fileName)
{
    FilePtr file(std::fopen(fileName, "rb"));
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + fileName);
    std::vector<unsigned char> content;
    unsigned char chunk[readChunk];
    size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        content.insert(content.end(), chunk, chunk + count);
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + fileName);
    return content;
}

void write_file(const char *fileName, const unsigned char *data, unsigned long len)
{
    FilePtr file(std::fopen(fileName, "wb"));
    if (!file)
        throw crypt_exception(std::string("Cannot open file for writing: ") + fileName);
    const bool written = std::fwrite(data, 1, len, file.get()) == len;
    // fclose flushes; a full disk shows up here.
    if (std::fclose(file.release()) != 0 || !written)
        throw crypt_exception(std::string("Cannot write file: ") + fileName);
}
