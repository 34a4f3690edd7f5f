#include "packagesignature.h"

#include "protectedfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

namespace {

// Far more than a key or a signature takes, with room for a line end or a blank.
constexpr qint64 maxFileSize = 4096;

const QByteArray keyType = QByteArrayLiteral("ed25519");

// The bytes of a base64 text of exactly size bytes, else nothing.
QByteArray decoded(const QByteArray &text, int size)
{
    const auto result =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return result && result.decoded.size() == size ? result.decoded : QByteArray();
}

} // namespace

QByteArray PackageSignature::keyText(const QByteArray &publicKey)
{
    return keyType + ' ' + publicKey.toBase64() + '\n';
}

QByteArray PackageSignature::parseKey(const QByteArray &text)
{
    const QList<QByteArray> fields = text.simplified().split(' ');
    return fields.size() == 2 && fields.first() == keyType ? decoded(fields.last(), keySize)
                                                           : QByteArray();
}

QByteArray PackageSignature::signatureText(const QByteArray &signature)
{
    return signature.toBase64() + '\n';
}

QByteArray PackageSignature::parseSignature(const QByteArray &text)
{
    return decoded(text.trimmed(), signatureSize);
}

PackageSignature::Problem PackageSignature::verify(
    const QByteArray &key, const QByteArray &package, const QByteArray &signatureFile)
{
    const QByteArray signature = parseSignature(signatureFile);
    if (signature.isEmpty())
        return SignatureMalformed;
    // Without its set-up the library must not be used; a failure refuses, like a bad signature.
    if (key.size() != keySize || sodium_init() < 0)
        return SignatureWrong;
    const bool valid =
        crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
            reinterpret_cast<const unsigned char *>(package.constData()), size_t(package.size()),
            reinterpret_cast<const unsigned char *>(key.constData()))
        == 0;
    return valid ? NoProblem : SignatureWrong;
}

PackageSignature::PackageSignature(const QString &keyDirectory) : keyDirectory(keyDirectory) { }

QString PackageSignature::keyPath() const
{
    return QDir::toNativeSeparators(QDir(keyDirectory).absoluteFilePath(keyFileName()));
}

bool PackageSignature::fail(Problem problem)
{
    found = problem;
    return false;
}

bool PackageSignature::check(const QString &packagePath, const QByteArray &package)
{
    found = NoProblem;
    keyWhy.clear();
    ProtectedFile keyFile(keyDirectory, keyFileName(), maxFileSize);
    const ProtectedFile::Result read = keyFile.read();
    keyFound = read != ProtectedFile::Absent;
    if (!keyFound)
        return true;
    // A key file we cannot trust is never taken for no key at all.
    if (read != ProtectedFile::Read) {
        keyWhy = keyFile.reason();
        return fail(KeyRefused);
    }
    const QByteArray key = parseKey(keyFile.bytes());
    if (key.isEmpty()) {
        keyWhy = tr("в нём нет строки 'ed25519 <открытый ключ в base64>'");
        return fail(KeyRefused);
    }
    return checkWith(key, packagePath, package);
}

bool PackageSignature::checkWith(
    const QByteArray &key, const QString &packagePath, const QByteArray &package)
{
    found = NoProblem;
    signatureWhy.clear();
    signatureFile = signaturePath(packagePath);
    const QFileInfo info(signatureFile);
    if (!info.exists() && !info.isSymLink())
        return fail(SignatureMissing);
    // Opening a named pipe would wait for a writer.
    if (!info.isFile()) {
        signatureWhy = tr("это не файл");
        return fail(SignatureUnreadable);
    }
    QFile file(signatureFile);
    if (!file.open(QIODevice::ReadOnly)) {
        signatureWhy = file.errorString();
        return fail(SignatureUnreadable);
    }
    const QByteArray text = file.read(maxFileSize + 1);
    if (text.size() > maxFileSize)
        return fail(SignatureMalformed);
    found = verify(key, package, text);
    return found == NoProblem;
}

QString PackageSignature::message(const QString &source) const
{
    QString reason;
    switch (found) {
    case NoProblem:
        return QString();
    case KeyRefused:
        return tr("Ключ подписи пакетов обновления '%1' не принят: %2. Пакет обновления '%3' не "
                  "устанавливается.")
            .arg(keyPath(), keyWhy, source);
    case SignatureMissing:
        reason = tr("нет файла подписи '%1'").arg(signatureFile);
        break;
    case SignatureUnreadable:
        reason = tr("файл подписи '%1' не прочитан: %2").arg(signatureFile, signatureWhy);
        break;
    case SignatureMalformed:
        reason = tr("в файле подписи '%1' нет подписи Ed25519 в base64").arg(signatureFile);
        break;
    case SignatureWrong:
        reason = tr("подпись '%1' не подходит к пакету и ключу '%2'").arg(signatureFile, keyPath());
        break;
    }
    return tr("Пакет обновления '%1' не прошёл проверку: %2.").arg(source, reason);
}
