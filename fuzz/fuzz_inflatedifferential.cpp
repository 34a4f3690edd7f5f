// Differential: inflateArchive (the fast path with its fallback) against the zlib reading alone,
// on the same package; any difference in the bytes or in the end reported is a finding.
//
// The first byte of an input says what the rest is: 0, a whole package; 1 or 2, raw deflate data
// that gets a gzip or zlib wrapper and a trailer whose check value matches what ISA-L makes of
// the data. Random data rarely carries a matching check value, so without the second form the
// fast path would hardly ever be asked to accept anything; with it, data that ISA-L reads and
// zlib refuses reaches the fast path's own checks.
#include "fuzzsupport.h"
#include "update/inflatearchive_p.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <QtEndian>

#include <memory>

namespace {

enum Form { WholePackage, GzipWrapped, ZlibWrapped, Forms };

// What ISA-L decodes from raw deflate data, up to an error or the stream's end, and how many
// bytes of input the stream took when it ended (else all of them).
QByteArray isalReading(const QByteArray &deflate, int *streamSize)
{
    auto state = std::make_unique<inflate_state>();
    isal_inflate_init(state.get());
    state->next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(deflate.constData()));
    state->avail_in = quint32(deflate.size());
    QByteArray output;
    char buffer[64 << 10];
    int status = ISAL_DECOMP_OK;
    while (status == ISAL_DECOMP_OK && state->block_state != ISAL_BLOCK_FINISH) {
        state->next_out = reinterpret_cast<uint8_t *>(buffer);
        state->avail_out = sizeof buffer;
        status = isal_inflate(state.get());
        const int produced = int(sizeof buffer - state->avail_out);
        output.append(buffer, produced);
        if (produced == 0)
            break;
    }
    const bool ended = state->block_state == ISAL_BLOCK_FINISH;
    *streamSize = ended
        ? int(state->next_in - reinterpret_cast<const uint8_t *>(deflate.constData()))
            - state->read_in_length / 8
        : deflate.size();
    return output;
}

QByteArray wrapped(Form form, const QByteArray &deflate)
{
    int streamSize = 0;
    const QByteArray content = isalReading(deflate, &streamSize);
    const auto *bytes = reinterpret_cast<const Bytef *>(content.constData());
    QByteArray package;
    uchar trailer[8];
    int trailerSize = 0;
    if (form == GzipWrapped) {
        package = QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
        qToLittleEndian<quint32>(
            quint32(crc32(crc32(0, nullptr, 0), bytes, uInt(content.size()))), trailer);
        qToLittleEndian<quint32>(quint32(content.size()), trailer + 4);
        trailerSize = 8;
    } else {
        package = QByteArray("\x78\x9c", 2);
        qToBigEndian<quint32>(
            quint32(adler32(adler32(0, nullptr, 0), bytes, uInt(content.size()))), trailer);
        trailerSize = 4;
    }
    return package + deflate.left(streamSize)
        + QByteArray(reinterpret_cast<const char *>(trailer), trailerSize)
        + deflate.mid(streamSize);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray rest = fuzzBytes(data + 1, size - 1);
    const Form form = Form(data[0] % Forms);
    const QByteArray package = form == WholePackage ? rest : wrapped(form, rest);

    InflateEnd end = InflateEnd::Complete;
    InflateEnd referenceEnd = InflateEnd::Complete;
    const QByteArray result = inflateArchive(package, &end);
    const QByteArray reference = inflateArchiveWithZlib(package, &referenceEnd);
    if (end != referenceEnd)
        fuzzFailure("inflateArchive reports another end than the zlib reading");
    if (result != reference)
        fuzzFailure("inflateArchive gives other bytes than the zlib reading");
    return 0;
}
