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
// next header can be checked before it is decoded. The check value follows the content as it is
// made.
class BlockInflater
{
public:
    BlockInflater(const uchar *data, qint64 size, Wrapper wrapper, InflateProgress *progress)
        : m_data(data),
          m_size(size),
          m_wrapper(wrapper),
          m_progress(progress),
          m_check(wrapper == Wrapper::Gzip ? 0 : 1)
    {
    }

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
            if (m_progress)
                m_progress->produced(output->constData(), m_produced, output->capacity());
            if (final)
                break;
        }
        *end = (position + 7) / 8;
        return true;
    }

    // The check value of the content made so far: CRC-32 for gzip, Adler-32 for zlib.
    quint32 checkValue() const { return m_check; }

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
            state->avail_out = quint32(std::min<qint64>(room, std::numeric_limits<quint32>::max()));
            const quint32 before = state->total_out;
            const int status = isal_inflate(state);
            const qint64 made = state->total_out - before;
            addToCheckValue(output->constData() + m_produced, made);
            m_produced += made;
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

    void addToCheckValue(const char *bytes, qint64 size)
    {
        const auto *data = reinterpret_cast<const uint8_t *>(bytes);
        m_check = m_wrapper == Wrapper::Gzip ? crc32_gzip_refl(m_check, data, quint64(size))
                                             : isal_adler32(m_check, data, quint64(size));
    }

    // Room for more output once what there is is full; false at the size limit or out of memory.
    bool makeRoom(QByteArray *output)
    {
        if (m_produced >= maxInflatedArchiveSize)
            return false;
        if (output->capacity() > m_produced)
            return true;
        // Whoever reads the content lets go of it while it moves.
        if (m_progress)
            m_progress->moving();
        const bool grown =
            growContent(*output, std::min(m_produced + minimumRoom, maxInflatedArchiveSize));
        if (m_progress)
            m_progress->moved();
        return grown;
    }

    const uchar *m_data;
    qint64 m_size;
    Wrapper m_wrapper;
    InflateProgress *m_progress;
    std::unique_ptr<inflate_state> m_state;
    qint64 m_produced = 0;
    quint32 m_check;
};

bool trailerMatches(
    Wrapper wrapper, quint32 checkValue, qint64 size, const uchar *trailer, qint64 available)
{
    if (wrapper == Wrapper::Gzip) {
        return available >= 8 && qFromLittleEndian<quint32>(trailer) == checkValue
            && qFromLittleEndian<quint32>(trailer + 4) == quint32(size);
    }
    return available >= 4 && qFromBigEndian<quint32>(trailer) == checkValue;
}

} // namespace

bool inflateArchiveFast(const QByteArray &package, QByteArray *content, InflateProgress *progress)
{
    const auto *data = reinterpret_cast<const uchar *>(package.constData());
    const qint64 size = package.size();
    Wrapper wrapper = Wrapper::Gzip;
    qint64 headerSize = 0;
    if (!readWrapper(data, size, &wrapper, &headerSize))
        return false;
    QByteArray output;
    qint64 end = 0;
    BlockInflater inflater(data + headerSize, size - headerSize, wrapper, progress);
    if (!inflater.inflate(&output, &end)
        || !trailerMatches(wrapper, inflater.checkValue(), output.size(), data + headerSize + end,
            size - headerSize - end)) {
        // What was made goes with output: whoever reads it lets go first, and finds nothing after.
        if (progress) {
            progress->moving();
            progress->moved();
        }
        return false;
    }
    *content = output;
    return true;
}
