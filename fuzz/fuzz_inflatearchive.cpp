// Decompression: any bytes as a package, compared with a plain zlib decoding of the same bytes
// that uses a large output buffer, so the 1024-byte steps and the growth of the result are checked
// against an independent reading.
#include "fuzzsupport.h"
#include "update/inflatearchive.h"

#include <zlib.h>

namespace {

// The first zlib or gzip stream of input: what decodes up to its end or up to the end of the
// input; empty on a corrupt stream, a dictionary request or a short input.
QByteArray reference(const QByteArray &input)
{
    if (input.size() <= 4)
        return QByteArray();
    z_stream stream = {};
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.constData()));
    stream.avail_in = uInt(input.size());
    if (inflateInit2(&stream, MAX_WBITS + 32) != Z_OK)
        fuzzFailure("zlib cannot be initialised");
    QByteArray output;
    QByteArray buffer(256 << 10, Qt::Uninitialized);
    int status = Z_OK;
    do {
        stream.next_out = reinterpret_cast<Bytef *>(buffer.data());
        stream.avail_out = uInt(buffer.size());
        status = inflate(&stream, Z_NO_FLUSH);
        output.append(buffer.constData(), buffer.size() - int(stream.avail_out));
    } while (status == Z_OK && stream.avail_out == 0);
    inflateEnd(&stream);
    return status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_MEM_ERROR ? QByteArray()
                                                                                    : output;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray package = fuzzBytes(data, size);
    const QByteArray result = inflateArchive(package);
    if (result.size() > maxInflatedArchiveSize)
        fuzzFailure("the result is larger than the cap");
    if (result != reference(package))
        fuzzFailure("the result differs from zlib's own decoding");
    return 0;
}
