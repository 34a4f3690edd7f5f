#ifndef PACKAGESIGNATURE_H
#define PACKAGESIGNATURE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// Update packages signed with the key an installation trusts. When the directory a package is
// installed into holds the key file "update-key.pub" (one line: "ed25519 " and the base64 of the
// 32-byte public key), the package needs its detached Ed25519 signature beside it, in PACKAGE.sig
// (the base64 of the 64-byte signature), made over the package's bytes exactly as they were read.
// A key file that someone else could change (see ProtectedFile) refuses every package. Without a
// key file every package may go on, as before.
class PackageSignature
{
    Q_DECLARE_TR_FUNCTIONS(PackageSignature)

public:
    static constexpr int keySize = 32;
    static constexpr int signatureSize = 64;

    enum Problem {
        NoProblem,
        KeyRefused, // see keyPath() and keyReason()
        SignatureMissing,
        SignatureUnreadable, // see signatureReason()
        SignatureMalformed, // not the base64 of 64 bytes
        SignatureWrong, // not made over these bytes with the trusted key
    };

    static QString keyFileName() { return QStringLiteral("update-key.pub"); }
    static QString signaturePath(const QString &package) { return package + QLatin1String(".sig"); }

    // A key file's text for a public key, and the key in one (empty when there is none).
    static QByteArray keyText(const QByteArray &publicKey);
    static QByteArray parseKey(const QByteArray &text);
    // A signature file's text for a signature, and the signature in one (empty: none).
    static QByteArray signatureText(const QByteArray &signature);
    static QByteArray parseSignature(const QByteArray &text);
    // Whether signatureFile (a signature file's text) holds a signature of package by key.
    static Problem verify(
        const QByteArray &key, const QByteArray &package, const QByteArray &signatureFile);

    // keyDirectory: where the trusted key is looked for, the directory installed into.
    explicit PackageSignature(const QString &keyDirectory);

    // True when the package may go on: no key file is installed, or the package's signature is
    // valid for it. Reads the key file, then the signature file beside packagePath.
    [[nodiscard]] bool check(const QString &packagePath, const QByteArray &package);
    // The same against a key given here instead of the installed one.
    [[nodiscard]] bool checkWith(
        const QByteArray &key, const QString &packagePath, const QByteArray &package);

    // After check(): whether a key file was there, accepted or not.
    bool isKeyInstalled() const { return keyFound; }
    Problem problem() const { return found; }
    QString keyPath() const;
    QString keyReason() const { return keyWhy; }
    QString signatureReason() const { return signatureWhy; }

    // The installer's log line for the problem found with the package file source.
    QString message(const QString &source) const;

private:
    bool fail(Problem problem);

    const QString keyDirectory;
    bool keyFound = false;
    Problem found = NoProblem;
    QString keyWhy;
    QString signatureFile;
    QString signatureWhy;
};

#endif // PACKAGESIGNATURE_H
