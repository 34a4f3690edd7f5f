// Decompresses one package in memory, for the decompression benchmark and for choosing the
// fast inflate.
//
//   inflatebench METHOD PACKAGE [REPEAT]
//
// METHOD: product (inflateArchive), zlib (its reference reading: the zlib path alone, which is
// what inflateArchive was before the fast path), isal (ISA-L alone, streaming into one buffer),
// libdeflate (libdeflate alone, whole-buffer, told the size by the gzip trailer); signature (not
// a decompression: the signature check the installer makes before it inflates, over the package
// signed here with a key made here).
// Prints the seconds of the decompression alone (the best of REPEAT runs, default 1) and the
// content size (the package's size for signature); exit status 0 when the stream was read to its
// end (the signature was valid).
#include "update/inflatearchive_p.h"
#include "update/packagesignature.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <sodium.h>

#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

qint64 viaIsal(const QByteArray &package)
{
    QByteArray output(int(std::min<qint64>(8 * qint64(package.size()), maxInflatedArchiveSize)),
        Qt::Uninitialized);
    auto state = std::make_unique<inflate_state>();
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_GZIP;
    state->next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(package.constData()));
    state->avail_in = quint32(package.size());
    state->next_out = reinterpret_cast<uint8_t *>(output.data());
    state->avail_out = quint32(output.size());
    if (isal_inflate(state.get()) != ISAL_DECOMP_OK || state->block_state != ISAL_BLOCK_FINISH)
        return -1;
    return state->total_out;
}

qint64 viaLibdeflate(const QByteArray &package)
{
    quint32 size = 0;
    std::memcpy(&size, package.constData() + package.size() - 4, 4);
    QByteArray output(int(size), Qt::Uninitialized);
    libdeflate_decompressor *decompressor = libdeflate_alloc_decompressor();
    size_t produced = 0;
    const libdeflate_result result = libdeflate_gzip_decompress(decompressor, package.constData(),
        size_t(package.size()), output.data(), size_t(output.size()), &produced);
    libdeflate_free_decompressor(decompressor);
    return result == LIBDEFLATE_SUCCESS ? qint64(produced) : -1;
}

// The signature file of package, with a key pair made for it; the public key in *key.
QByteArray signatureFile(const QByteArray &package, QByteArray *key)
{
    key->resize(crypto_sign_PUBLICKEYBYTES);
    QByteArray secret(crypto_sign_SECRETKEYBYTES, '\0');
    QByteArray signature(crypto_sign_BYTES, '\0');
    if (sodium_init() < 0
        || crypto_sign_keypair(reinterpret_cast<unsigned char *>(key->data()),
               reinterpret_cast<unsigned char *>(secret.data()))
            != 0
        || crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
               reinterpret_cast<const unsigned char *>(package.constData()), size_t(package.size()),
               reinterpret_cast<const unsigned char *>(secret.constData()))
            != 0) {
        return QByteArray();
    }
    return PackageSignature::signatureText(signature);
}

qint64 decompress(const QByteArray &method, const QByteArray &package)
{
    if (method == "signature") {
        static QByteArray key;
        static const QByteArray signature = signatureFile(package, &key);
        return PackageSignature::verify(key, package, signature) == PackageSignature::NoProblem
            ? package.size()
            : -1;
    }
    if (method == "product") {
        InflateEnd end = InflateEnd::Failed;
        const QByteArray content = inflateArchive(package, &end);
        return end == InflateEnd::Complete ? content.size() : -1;
    }
    if (method == "zlib") {
        InflateEnd end = InflateEnd::Failed;
        const QByteArray content = inflateArchiveWithZlib(package, &end);
        return end == InflateEnd::Complete ? content.size() : -1;
    }
    if (method == "isal")
        return viaIsal(package);
    if (method == "libdeflate")
        return viaLibdeflate(package);
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray package = file.readAll();
    const int repeat = argc > 3 ? std::max(1, atoi(argv[3])) : 1;
    double best = 0;
    qint64 produced = -1;
    for (int i = 0; i < repeat; ++i) {
        QElapsedTimer timer;
        timer.start();
        produced = decompress(argv[1], package);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        best = i == 0 ? seconds : std::min(best, seconds);
        if (produced < 0)
            return 1;
    }
    std::printf("%.4f %lld\n", best, static_cast<long long>(produced));
    return 0;
}
