#include "fileops/tomcryptutil.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

// The crypto glue against OpenSSL: keys and signatures made by one side are
// accepted by the other, and library failures come out as crypt_exception.
class tst_TomCryptUtil : public QObject
{
    Q_OBJECT

private slots:
    void keyImportBeforeInitThrows();
    void init();
    void initTwiceKeepsIndices();
    void opensslSignatureVerifies();
    void opensslKeyImportsWithTrailingBytes();
    void signatureVerifiesWithOpenssl();
    void exportedPublicKeyIsPkcs1();
    void savedKeyLoadsBack();
    void signatureByOtherKeyFails();
    void malformedSignatureThrows();
    void checkErrNamesTheStep();
    void fileErrorsNameTheFile_data();
    void fileErrorsNameTheFile();
    void readFileReadsAcrossChunks();

private:
    QByteArray openssl(const QStringList &args);
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QByteArray makeOpensslKey(const QString &pemName, const QString &derName);

    QTemporaryDir m_dir;
};

QByteArray tst_TomCryptUtil::openssl(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning() << "openssl" << args << process.readAllStandardError();
        return QByteArray();
    }
    return process.readAllStandardOutput() + "ok";
}

QByteArray tst_TomCryptUtil::makeOpensslKey(const QString &pemName, const QString &derName)
{
    if (openssl({"genrsa", "-out", path(pemName), "1024"}).isEmpty())
        return QByteArray();
    if (openssl({"rsa", "-in", path(pemName), "-RSAPublicKey_out", "-outform", "DER", "-out",
                 path(derName)})
            .isEmpty())
        return QByteArray();
    QFile der(path(derName));
    der.open(QIODevice::ReadOnly);
    return der.readAll();
}

static std::vector<unsigned char> bytes(const QByteArray &data)
{
    return std::vector<unsigned char>(data.cbegin(), data.cend());
}

static QByteArray fileContent(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

static void writeContent(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

void tst_TomCryptUtil::keyImportBeforeInitThrows()
{
    // Without a math provider LibTomCrypt aborts the process; the glue must
    // throw instead. Runs first, before anything calls crypt_init().
    QVERIFY(ltc_mp.name == nullptr);
    const QByteArray key(KEY_BUFFER_SIZE, '\0');
    rsa_key imported;
    QVERIFY_THROWS_EXCEPTION(
        crypt_exception,
        load_key(&imported, reinterpret_cast<const unsigned char *>(key.data()), key.size()));
}

void tst_TomCryptUtil::init()
{
    QVERIFY(m_dir.isValid());
    if (qstrcmp(QTest::currentTestFunction(), "keyImportBeforeInitThrows") != 0)
        crypt_init();
}

void tst_TomCryptUtil::initTwiceKeepsIndices()
{
    const int hash = hash_idx;
    const int prng = prng_idx;
    crypt_init();
    QVERIFY(hash >= 0);
    QVERIFY(prng >= 0);
    QCOMPARE(hash_idx, hash);
    QCOMPARE(prng_idx, prng);
    QCOMPARE(hash_idx, find_hash("sha1"));
}

void tst_TomCryptUtil::opensslSignatureVerifies()
{
    const QByteArray der = makeOpensslKey("ossl.pem", "ossl.der");
    QVERIFY(!der.isEmpty());
    writeContent(path("data"), QByteArray("product ini\n[files]\na=b\n").repeated(50));
    QVERIFY(!openssl({"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                      "rsa_pss_saltlen:8", "-sigopt", "rsa_mgf1_md:sha1", "-sign", path("ossl.pem"),
                      "-out", path("data.sig"), path("data")})
                 .isEmpty());

    rsa_key key;
    load_key(&key, reinterpret_cast<const unsigned char *>(der.constData()), der.size());
    std::vector<unsigned char> data = bytes(fileContent(path("data")));
    std::vector<unsigned char> sig = bytes(fileContent(path("data.sig")));
    QCOMPARE(sig.size(), size_t(128));
    const bool valid = verify_msg(&key, data.data(), data.size(), sig.data(), sig.size());
    data[7] ^= 1;
    const bool tampered = verify_msg(&key, data.data(), data.size(), sig.data(), sig.size());
    rsa_free(&key);
    QVERIFY(valid);
    QVERIFY(!tampered);
}

void tst_TomCryptUtil::opensslKeyImportsWithTrailingBytes()
{
    // The compiled-in key is handed over as a whole 2048-byte buffer.
    QByteArray der = makeOpensslKey("pad.pem", "pad.der");
    QVERIFY(!der.isEmpty());
    der.resize(KEY_BUFFER_SIZE, '\0');
    rsa_key key;
    load_key(&key, reinterpret_cast<const unsigned char *>(der.constData()), der.size());
    QCOMPARE(key.type, int(PK_PUBLIC));
    QCOMPARE(rsa_get_size(&key), 128);
    rsa_free(&key);
}

void tst_TomCryptUtil::signatureVerifiesWithOpenssl()
{
    rsa_key key;
    create_key(&key);
    const std::vector<unsigned char> publicKey = export_key(&key, PK_PUBLIC);
    write_file(QFile::encodeName(path("glue_pub.der")).constData(), publicKey.data(),
               publicKey.size());
    const QByteArray data = QByteArray("signed by the glue").repeated(100);
    unsigned char sig[512];
    unsigned long sigLen = sizeof sig;
    sign_msg(&key, reinterpret_cast<const unsigned char *>(data.constData()), data.size(), sig,
             &sigLen);
    rsa_free(&key);
    QCOMPARE(sigLen, 128ul);
    writeContent(path("glue_data"), data);
    writeContent(path("glue_data.sig"), QByteArray(reinterpret_cast<const char *>(sig), sigLen));

    QVERIFY(!openssl({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", path("glue_pub.der"),
                      "-pubout", "-out", path("glue_pub.pem")})
                 .isEmpty());
    const QByteArray out
        = openssl({"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                   "rsa_pss_saltlen:8", "-sigopt", "rsa_mgf1_md:sha1", "-verify",
                   path("glue_pub.pem"), "-signature", path("glue_data.sig"), path("glue_data")});
    QVERIFY2(out.contains("Verified OK"), out.constData());
}

void tst_TomCryptUtil::exportedPublicKeyIsPkcs1()
{
    // The updater imports a bare RSAPublicKey; a SubjectPublicKeyInfo would
    // not be what `openssl rsa -RSAPublicKey_out` gives publishers either.
    rsa_key key;
    create_key(&key);
    const std::vector<unsigned char> publicKey = export_key(&key, PK_PUBLIC);
    rsa_free(&key);
    write_file(QFile::encodeName(path("pkcs1.der")).constData(), publicKey.data(),
               publicKey.size());
    const QByteArray text = openssl(
        {"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", path("pkcs1.der"), "-noout", "-text"});
    QVERIFY(text.contains("Public-Key: (1024 bit)"));
    QVERIFY(text.contains("Exponent: 65537"));
    // SEQUENCE { INTEGER modulus (129 bytes with its sign byte), INTEGER 65537 }
    QCOMPARE(publicKey.size(), size_t(140));
    QCOMPARE(int(publicKey[0]), 0x30);
    QCOMPARE(int(publicKey[3]), 0x02);
}

void tst_TomCryptUtil::savedKeyLoadsBack()
{
    rsa_key key;
    create_key(&key);
    const QByteArray file = QFile::encodeName(path("saved.key"));
    save_key(&key, PK_PRIVATE, file.constData());
    const std::vector<unsigned char> original = export_key(&key, PK_PUBLIC);
    rsa_free(&key);
    QCOMPARE(QFile(path("saved.key")).size(), qint64(KEY_BUFFER_SIZE));

    rsa_key loaded;
    load_key(&loaded, file.constData());
    QCOMPARE(loaded.type, int(PK_PRIVATE));
    const std::vector<unsigned char> reloaded = export_key(&loaded, PK_PUBLIC);
    rsa_free(&loaded);
    QVERIFY(original == reloaded);
    // OpenSSL reads the padded key file as it is.
    const QByteArray check
        = openssl({"rsa", "-inform", "DER", "-in", path("saved.key"), "-noout", "-check"});
    QVERIFY(check.contains("RSA key ok"));
}

void tst_TomCryptUtil::signatureByOtherKeyFails()
{
    rsa_key signer;
    rsa_key other;
    create_key(&signer);
    create_key(&other);
    const unsigned char data[] = "data";
    unsigned char sig[512];
    unsigned long sigLen = sizeof sig;
    sign_msg(&signer, data, sizeof data, sig, &sigLen);
    const bool bySigner = verify_msg(&signer, data, sizeof data, sig, sigLen);
    // Under the wrong key the padding usually does not even decode, which
    // throws; either way the signature is not accepted.
    bool byOther = true;
    try {
        byOther = verify_msg(&other, data, sizeof data, sig, sigLen);
    } catch (const crypt_exception &) {
        byOther = false;
    }
    rsa_free(&signer);
    rsa_free(&other);
    QVERIFY(bySigner);
    QVERIFY(!byOther);
}

void tst_TomCryptUtil::malformedSignatureThrows()
{
    rsa_key key;
    create_key(&key);
    const unsigned char data[] = "data";
    unsigned char sig[512] = {};
    QString text;
    try {
        verify_msg(&key, data, sizeof data, sig, 127);
    } catch (const crypt_exception &e) {
        text = QString::fromLatin1(e.what());
    }
    rsa_free(&key);
    QVERIFY2(text.startsWith(QLatin1String("rsa_verify_hash: ")), qPrintable(text));
}

void tst_TomCryptUtil::checkErrNamesTheStep()
{
    check_err("rsa_import", CRYPT_OK);
    try {
        check_err("rsa_import", CRYPT_INVALID_PACKET);
        QFAIL("no exception");
    } catch (const crypt_exception &e) {
        QCOMPARE(QByteArray(e.what()),
                 QByteArray("rsa_import: ") + error_to_string(CRYPT_INVALID_PACKET));
    }
}

void tst_TomCryptUtil::fileErrorsNameTheFile_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("expected");
    QTest::newRow("read missing file") << 0 << "Cannot open file for reading: ";
    QTest::newRow("load key from missing file") << 1 << "Cannot open file for reading: ";
    QTest::newRow("write into missing directory") << 2 << "Cannot open file for writing: ";
    QTest::newRow("save key into missing directory") << 3 << "Cannot open file for writing: ";
}

void tst_TomCryptUtil::fileErrorsNameTheFile()
{
    QFETCH(int, operation);
    QFETCH(QString, expected);
    const QByteArray file = QFile::encodeName(path("missing/file"));
    rsa_key key;
    if (operation == 3)
        create_key(&key);
    QString text;
    try {
        const unsigned char data[] = "x";
        switch (operation) {
        case 0:
            read_file(file.constData());
            break;
        case 1:
            load_key(&key, file.constData());
            break;
        case 2:
            write_file(file.constData(), data, 1);
            break;
        case 3:
            save_key(&key, PK_PRIVATE, file.constData());
            break;
        }
    } catch (const crypt_exception &e) {
        text = QString::fromLocal8Bit(e.what());
    }
    if (operation == 3)
        rsa_free(&key);
    QCOMPARE(text, expected + QString::fromLocal8Bit(file));
}

void tst_TomCryptUtil::readFileReadsAcrossChunks()
{
    QByteArray data;
    for (int i = 0; i < 5000; ++i)
        data.append(char(i * 7));
    writeContent(path("chunks"), data);
    const std::vector<unsigned char> read
        = read_file(QFile::encodeName(path("chunks")).constData());
    QVERIFY(read == bytes(data));
}

QTEST_GUILESS_MAIN(tst_TomCryptUtil)
#include "tst_tomcryptutil.moc"
