#include "inflatearchive_p.h"

#include "deflatecheck.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <QtEndian>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

namespace {

enum class Wrapper { Gzip, Zlib };

constexpr uchar gzipFlagHeaderCrc = 0x02;
constexpr uchar gzipFlagExtra = 0x04;
constexpr uchar gzipFlagName = 0x08;
constexpr uchar gzipFlagComment = 0x10;
constexpr uchar gzipFlagsReserved = 0xe0;
constexpr int deflateMethod = 8;

// Reads the wrapper header the way zlib does with automatic detection and a 32 KiB window: gzip
// when the package starts with its two magic bytes, zlib otherwise. False for any header zlib
// would refuse or not read to its end (a zlib header asking for a preset dictionary included);
// else *headerSize tells where the deflate data starts.
bool readWrapper(const uchar *data, qint64 size, Wrapper *wrapper, qint64 *headerSize)
{
    if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
        *wrapper = Wrapper::Gzip;
        if (size < 10 || data[2] != deflateMethod || (data[3] & gzipFlagsReserved) != 0)
            return false;
        const uchar flags = data[3];
        qint64 at = 10;
        if (flags & gzipFlagExtra) {
            if (size - at < 2)
                return false;
            at += 2 + (data[at] | data[at + 1] << 8);
        }
        for (const uchar field : { gzipFlagName, gzipFlagComment }) {
            if (!(flags & field))
                continue;
            while (at < size && data[at] != 0)
                ++at;
            ++at; // the terminating zero
        }
        if (flags & gzipFlagHeaderCrc) {
            if (size - at < 2)
                return false;
            const uLong crc = crc32(crc32(0, nullptr, 0), data, uInt(at));
            if ((crc & 0xffff) != uLong(data[at] | data[at + 1] << 8))
                return false;
            at += 2;
        }
        *headerSize = at;
        return at < size;
    }
    *wrapper = Wrapper::Zlib;
    if (size < 2)
        return false;
    const int method = data[0] & 0x0f;
    const int windowBits = (data[0] >> 4) + 8;
    const bool presetDictionary = (data[1] & 0x20) != 0;
    *headerSize = 2;
    return (data[0] << 8 | data[1]) % 31 == 0 && method == deflateMethod && windowBits <= MAX_WBITS
        && !presetDictionary;
}

// ISA-L reads, block by block, what the header checks let through: each block is decoded by a
// fresh inflate state that starts at the block's first bit, with the content so far as its
// history, and sees the block as the stream's last, so that it stops at the block's end and the
// next header can be checked before it is decoded.
class BlockInflater
{
public:
    BlockInflater(const uchar *data, qint64 size) : m_data(data), m_size(size) { }

    // Decodes the whole deflate stream; true when it ended within the input and within the size
    // limit. *end is the byte after it.
    bool inflate(QByteArray *output, qint64 *end)
    {
        m_state.reset(new (std::nothrow) inflate_state);
        if (!m_state)
            return false;
        reserveForPackage(*output, m_size);
        qint64 position = 0; // in bits
        for (qint64 blocks = 1;; ++blocks) {
            // Many tiny blocks would make the setup of each block dominate: zlib reads those.
            if (blocks > 1024 && blocks * minimumAverageBlock > m_produced)
                return false;
            bool final = false;
            if (!deflateBlockHeaderIsSound(m_data, m_size, position, &final)
                || !inflateBlock(output, &position)) {
                return false;
            }
            if (final)
                break;
        }
        *end = (position + 7) / 8;
        return true;
    }

private:
    static constexpr qint64 minimumAverageBlock = 4096;
    static constexpr qint64 minimumRoom = 1 << 20;

    bool inflateBlock(QByteArray *output, qint64 *position)
    {
        inflate_state *state = m_state.get();
        isal_inflate_init(state);
        const qint64 history = std::min<qint64>(m_produced, IGZIP_HIST_SIZE);
        if (history > 0) {
            isal_inflate_set_dict(state,
                reinterpret_cast<uint8_t *>(output->data() + m_produced - history),
                quint32(history));
        }
        // The first byte goes into the bit buffer without the bits before the block, and with the
        // block's "last block" bit set.
        const qint64 first = *position / 8;
        const int skipped = int(*position % 8);
        state->read_in = quint64(m_data[first] >> skipped) | 1;
        state->read_in_length = 8 - skipped;
        state->next_in = const_cast<uint8_t *>(m_data + first + 1);
        state->avail_in =
            quint32(std::min<qint64>(m_size - first - 1, std::numeric_limits<quint32>::max()));
        forever {
            if (!makeRoom(output))
                return false;
            const qint64 room = std::min<qint64>(
                output->capacity() - m_produced, maxInflatedArchiveSize - m_produced);
            output->resize(int(m_produced + room));
            state->next_out = reinterpret_cast<uint8_t *>(output->data() + m_produced);
            state->avail_out = quint32(room);
            const quint32 before = state->total_out;
            const int status = isal_inflate(state);
            m_produced += state->total_out - before;
            output->resize(int(m_produced));
            if (status != ISAL_DECOMP_OK)
                return false;
            if (state->block_state == ISAL_BLOCK_FINISH)
                break;
            if (state->avail_out != 0) // the input ran out inside the block
                return false;
        }
        *position = (state->next_in - m_data) * 8 - state->read_in_length;
        return true;
    }

    // Room for more output; false at the size limit or out of memory.
    bool makeRoom(QByteArray *output)
    {
        if (m_produced >= maxInflatedArchiveSize)
            return false;
        return growContent(*output, std::min(m_produced + minimumRoom, maxInflatedArchiveSize));
    }

    const uchar *m_data;
    qint64 m_size;
    std::unique_ptr<inflate_state> m_state;
    qint64 m_produced = 0;
};

bool checkValueMatches(
    Wrapper wrapper, const QByteArray &content, const uchar *trailer, qint64 available)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(content.constData());
    const auto size = quint64(content.size());
    if (wrapper == Wrapper::Gzip) {
        return available >= 8
            && qFromLittleEndian<quint32>(trailer) == crc32_gzip_refl(0, bytes, size)
            && qFromLittleEndian<quint32>(trailer + 4) == quint32(size);
    }
    return available >= 4 && qFromBigEndian<quint32>(trailer) == isal_adler32(1, bytes, size);
}

} // namespace

bool inflateArchiveFast(const QByteArray &package, QByteArray *content)
{
    const auto *data = reinterpret_cast<const uchar *>(package.constData());
    const qint64 size = package.size();
    Wrapper wrapper = Wrapper::Gzip;
    qint64 headerSize = 0;
    if (!readWrapper(data, size, &wrapper, &headerSize))
        return false;
    QByteArray output;
    qint64 end = 0;
    BlockInflater inflater(data + headerSize, size - headerSize);
    if (!inflater.inflate(&output, &end)
        || !checkValueMatches(wrapper, output, data + headerSize + end, size - headerSize - end)) {
        return false;
    }
    *content = output;
    return true;
}
