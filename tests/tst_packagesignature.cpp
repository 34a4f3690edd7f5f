#include "filetree.h"
#include "log/log.h"
#include "tarbuilder.h"
#include "testutil.h"
#include "update/packagesignature.h"
#include "update/tinytarunpacker.h"

#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

#ifdef Q_OS_LINUX
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>

// This program's own openat() takes the place of the C library's for the installer linked into
// it: while armed, the first file the installer creates (its journal, made once the package has
// proved sound and before anything in the tree changes) first rewrites the package file in place.
namespace {
bool armed = false;
QString packagePath;
QByteArray forgedPackage;
} // namespace

extern "C" int openat(int directory, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list arguments;
        va_start(arguments, flags);
        mode = mode_t(va_arg(arguments, int));
        va_end(arguments);
        if (armed) {
            armed = false;
            writeFile(packagePath, forgedPackage);
        }
    }
    return reinterpret_cast<int (*)(int, const char *, int, ...)>(dlsym(RTLD_NEXT, "openat"))(
        directory, path, flags, mode);
}
#endif

namespace {

// A fixed key pair, so that a failure can be replayed.
struct KeyPair
{
    QByteArray publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, '\0');

    KeyPair()
    {
        const QByteArray seed(crypto_sign_SEEDBYTES, '\7');
        if (sodium_init() < 0
            || crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                   reinterpret_cast<unsigned char *>(secretKey.data()),
                   reinterpret_cast<const unsigned char *>(seed.constData()))
                != 0) {
            qFatal("libsodium cannot make a key");
        }
    }

    QByteArray sign(const QByteArray &bytes) const
    {
        QByteArray signature(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
            reinterpret_cast<const unsigned char *>(bytes.constData()), size_t(bytes.size()),
            reinterpret_cast<const unsigned char *>(secretKey.constData()));
        return signature;
    }
};

} // namespace

class tst_PackageSignature : public QObject
{
    Q_OBJECT

private slots:
    void fileFormats_data();
    void fileFormats();
    void packageSwappedWhileInstalled();
};

void tst_PackageSignature::fileFormats_data()
{
    QTest::addColumn<bool>("isKey"); // a key file, else a signature file
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");

    const KeyPair keys;
    const QByteArray key = keys.publicKey.toBase64();
    const QByteArray signature = keys.sign("package").toBase64();
    QTest::newRow("key as written") << true << PackageSignature::keyText(keys.publicKey) << true;
    QTest::newRow("key, Windows line end and blanks") << true << " ed25519\t" + key + " \r\n"
                                                      << true;
    QTest::newRow("key of another type") << true << "ed448 " + key << false;
    QTest::newRow("key of 31 bytes")
        << true << "ed25519 " + keys.publicKey.left(31).toBase64() << false;
    QTest::newRow("key with more after it") << true << "ed25519 " + key + " comment" << false;
    QTest::newRow("key, not base64")
        << true << "ed25519 " + QByteArray(key).replace(3, 1, "!") << false;
    QTest::newRow("signature as written")
        << false << PackageSignature::signatureText(keys.sign("package")) << true;
    QTest::newRow("signature, Windows line end") << false << signature + "\r\n" << true;
    QTest::newRow("signature of 63 bytes")
        << false << keys.sign("package").left(63).toBase64() << false;
    QTest::newRow("two signatures") << false << signature + "\n" + signature << false;
    QTest::newRow("empty signature file") << false << QByteArray() << false;
}

void tst_PackageSignature::fileFormats()
{
    QFETCH(bool, isKey);
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);

    const KeyPair keys;
    if (isKey) {
        QCOMPARE(PackageSignature::parseKey(text), valid ? keys.publicKey : QByteArray());
        return;
    }
    QCOMPARE(PackageSignature::verify(keys.publicKey, "package", text),
        valid ? PackageSignature::NoProblem : PackageSignature::SignatureMalformed);
    // Valid only for the very bytes signed.
    if (valid) {
        QCOMPARE(PackageSignature::verify(keys.publicKey, "packagE", text),
            PackageSignature::SignatureWrong);
    }
}

void tst_PackageSignature::packageSwappedWhileInstalled()
{
#ifndef Q_OS_LINUX
    QSKIP("the installer's calls are watched by standing in for the C library's, on Linux");
#else
    // The installer checks the signature over the bytes it read, and installs those bytes: a
    // package rewritten in place after the check, before the first change to the tree, changes
    // nothing that is installed. (An installer that read the file again, or mapped it, would
    // install the forgery or fail.)
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    Log::setDirectory(dir.filePath(QStringLiteral("log")));
    Log::setBaseName(QStringLiteral("localserver"));
    const KeyPair keys;
    // Stored, not compressed: the forgery has the signed package's size to the byte.
    const QByteArray genuine =
        gzipCompressed(TarBuilder().file("app.txt", "genuine").end().tar(), 0);
    forgedPackage = gzipCompressed(TarBuilder().file("app.txt", "forgery").end().tar(), 0);
    QCOMPARE(forgedPackage.size(), genuine.size());
    packagePath = dir.filePath(QStringLiteral("p"));
    QVERIFY(writeFile(packagePath, genuine));
    QVERIFY(writeFile(PackageSignature::signaturePath(packagePath),
        PackageSignature::signatureText(keys.sign(genuine))));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("t/update-key.pub")),
        PackageSignature::keyText(keys.publicKey)));

    armed = true;
    TinyTarUnpacker unpacker(packagePath, dir.filePath(QStringLiteral("t")), QString());
    const bool installed = unpacker.unpack();
    QVERIFY2(!armed, "the installer created no file");
    armed = false;
    QCOMPARE(readFile(packagePath), forgedPackage);
    QVERIFY(installed);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("t/app.txt"))), QByteArray("genuine"));
#endif
}

QTEST_GUILESS_MAIN(tst_PackageSignature)
#include "tst_packagesignature.moc"
