#include "signingkey.h"

#include "update/packagesignature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <sodium.h>

namespace {

const QByteArray privateType = QByteArrayLiteral("ed25519-private");

unsigned char *bytesOf(QByteArray &array)
{
    return reinterpret_cast<unsigned char *>(array.data());
}

const unsigned char *bytesOf(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

// Writes bytes to a new file at path and never replaces one: written under a temporary name
// (which the owner alone may read), given permissions, then renamed, which fails where a file of
// that name exists.
bool writeNewFile(
    const QString &path, const QByteArray &bytes, QFile::Permissions permissions, QString *error)
{
    QTemporaryFile file(QFileInfo(path).absolutePath() + QLatin1String("/.cashpkg-key-XXXXXX"));
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()
        || !file.setPermissions(permissions)) {
        *error = QStringLiteral("cannot write '%1': %2")
                     .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    if (!file.rename(path)) {
        *error = QStringLiteral("cannot write '%1': %2")
                     .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    file.setAutoRemove(false);
    return true;
}

} // namespace

bool SigningKey::fail(const QString &text)
{
    error = text;
    secret.clear();
    publicBytes.clear();
    return false;
}

bool SigningKey::fromSeed(const QByteArray &seed)
{
    secret.resize(crypto_sign_SECRETKEYBYTES);
    publicBytes.resize(crypto_sign_PUBLICKEYBYTES);
    if (sodium_init() < 0 || seed.size() != crypto_sign_SEEDBYTES
        || crypto_sign_seed_keypair(bytesOf(publicBytes), bytesOf(secret), bytesOf(seed)) != 0) {
        return fail(QStringLiteral("libsodium cannot make the key"));
    }
    return true;
}

bool SigningKey::generate(const QString &privatePath, const QString &publicPath)
{
    for (const QString &path : { privatePath, publicPath }) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            return fail(QStringLiteral("'%1' exists; it is not overwritten")
                            .arg(QDir::toNativeSeparators(path)));
        }
    }
    QByteArray seed(crypto_sign_SEEDBYTES, '\0');
    if (sodium_init() < 0)
        return fail(QStringLiteral("libsodium cannot be set up"));
    randombytes_buf(seed.data(), size_t(seed.size()));
    const QByteArray privateText = privateType + ' ' + seed.toBase64() + '\n';
    const bool made = fromSeed(seed);
    sodium_memzero(seed.data(), size_t(seed.size()));
    if (!made)
        return false;
    QString problem;
    if (!writeNewFile(privatePath, privateText, QFile::ReadOwner | QFile::WriteOwner, &problem))
        return fail(problem);
    const QFile::Permissions readable =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (!writeNewFile(publicPath, PackageSignature::keyText(publicBytes), readable, &problem)) {
        QFile::remove(privatePath);
        return fail(problem);
    }
    return true;
}

bool SigningKey::load(const QString &privatePath)
{
    QFile file(privatePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("cannot read the private key '%1': %2")
                        .arg(QDir::toNativeSeparators(privatePath), file.errorString()));
    }
    const QList<QByteArray> fields = file.read(4096).simplified().split(' ');
    const auto seed =
        QByteArray::fromBase64Encoding(fields.value(1), QByteArray::AbortOnBase64DecodingErrors);
    if (fields.size() != 2 || fields.first() != privateType || !seed
        || seed.decoded.size() != crypto_sign_SEEDBYTES) {
        return fail(QStringLiteral("'%1' is no private key made by 'cashpkg keygen'")
                        .arg(QDir::toNativeSeparators(privatePath)));
    }
    return fromSeed(seed.decoded);
}

QByteArray SigningKey::sign(const QByteArray &bytes) const
{
    if (secret.size() != crypto_sign_SECRETKEYBYTES)
        return QByteArray();
    QByteArray signature(crypto_sign_BYTES, '\0');
    if (crypto_sign_detached(
            bytesOf(signature), nullptr, bytesOf(bytes), size_t(bytes.size()), bytesOf(secret))
        != 0) {
        return QByteArray();
    }
    return signature;
}
