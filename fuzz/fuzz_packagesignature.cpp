// The signature check's input: package bytes and a signature file, against a fixed key. The first
// byte chooses the form of the rest:
//   even: one byte n, then n bytes of signature file, then the package;
//   odd:  two bytes p and x, then the package, which the target signs itself; byte p (modulo
//         the length) of the signature file followed by the package is then XORed with x.
// A signature is accepted only when it decodes to the package's own signature (Ed25519 with a
// fixed key signs deterministically, and nobody here can forge one), an unchanged signed package
// is always accepted, and a changed one never. The installer's check through files (the key
// installed in a directory, PACKAGE.sig beside the package) must agree with the check in memory.
#include "fuzzsupport.h"
#include "update/packagesignature.h"

#include <QDir>

#include <sodium.h>

namespace {

QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
QByteArray secretKey(crypto_sign_SECRETKEYBYTES, '\0');
QString packagePath;
QString keyDirectory;

QByteArray signatureOf(const QByteArray &package)
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
        reinterpret_cast<const unsigned char *>(package.constData()), size_t(package.size()),
        reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    const QByteArray seed(crypto_sign_SEEDBYTES, '\x5a');
    if (sodium_init() < 0
        || crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
               reinterpret_cast<unsigned char *>(secretKey.data()),
               reinterpret_cast<const unsigned char *>(seed.constData()))
            != 0) {
        fuzzFailure("libsodium cannot make the key");
    }
    keyDirectory = scratchDirectory() + QStringLiteral("/target");
    packagePath = scratchDirectory() + QStringLiteral("/package");
    if (!QDir().mkpath(keyDirectory))
        fuzzFailure("cannot create the key's directory");
    writeScratchFile(keyDirectory + QLatin1Char('/') + PackageSignature::keyFileName(),
        PackageSignature::keyText(publicKey));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzBytes(data, size);
    if (input.size() < 3)
        return 0;
    QByteArray signatureFile;
    QByteArray package;
    bool edited = false;
    bool packageEdited = false;
    if ((input.at(0) & 1) == 0) {
        const int length = std::min(int(quint8(input.at(1))), int(input.size()) - 2);
        signatureFile = input.mid(2, length);
        package = input.mid(2 + length);
    } else {
        package = input.mid(3);
        signatureFile = PackageSignature::signatureText(signatureOf(package));
        QByteArray both = signatureFile + package;
        const int at = quint8(input.at(1)) % int(both.size());
        both[at] = char(both.at(at) ^ input.at(2));
        edited = input.at(2) != 0;
        packageEdited = edited && at >= signatureFile.size();
        signatureFile = both.left(signatureFile.size());
        if (packageEdited)
            package = both.mid(signatureFile.size());
    }

    const PackageSignature::Problem found =
        PackageSignature::verify(publicKey, package, signatureFile);
    const bool accepted = found == PackageSignature::NoProblem;
    if (accepted && QByteArray::fromBase64(signatureFile.trimmed()) != signatureOf(package))
        fuzzFailure("a signature other than the package's own was accepted");
    if ((input.at(0) & 1) && !edited && !accepted)
        fuzzFailure("the package's own signature was refused");
    if (packageEdited && accepted)
        fuzzFailure("a changed package kept its signature");
    if ((found == PackageSignature::SignatureMalformed)
        != PackageSignature::parseSignature(signatureFile).isEmpty()) {
        fuzzFailure("a signature file was taken for malformed, or not, against its reading");
    }

    writeScratchFile(packagePath, package);
    writeScratchFile(PackageSignature::signaturePath(packagePath), signatureFile);
    PackageSignature installed(keyDirectory);
    if (installed.check(packagePath, package) != accepted || installed.problem() != found)
        fuzzFailure("the check through files and the check in memory disagree");
    return 0;
}
