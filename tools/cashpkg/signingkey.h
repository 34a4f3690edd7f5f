#ifndef SIGNINGKEY_H
#define SIGNINGKEY_H

#include <QByteArray>
#include <QString>

// The signer's side of signed packages: the private Ed25519 key, kept in a file of its own (one
// line: "ed25519-private " and the base64 of the 32-byte seed), and the signatures made with it.
// The installer's side is PackageSignature.
class SigningKey
{
public:
    // Makes a new key pair and writes the private key file (readable by its owner alone, where
    // the system has such modes) and the public key file the installer trusts. Writes neither
    // when either exists. False with errorString() on failure.
    [[nodiscard]] bool generate(const QString &privatePath, const QString &publicPath);
    // Reads a private key file.
    [[nodiscard]] bool load(const QString &privatePath);

    // The detached signature of bytes (empty before a key was made or loaded).
    QByteArray sign(const QByteArray &bytes) const;
    QByteArray publicKey() const { return publicBytes; }
    QString errorString() const { return error; }

private:
    bool fromSeed(const QByteArray &seed);
    bool fail(const QString &text);

    QByteArray secret; // libsodium's secret key: the seed, then the public key
    QByteArray publicBytes;
    QString error;
};

#endif // SIGNINGKEY_H
