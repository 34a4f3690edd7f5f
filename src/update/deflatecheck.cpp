#include "deflatecheck.h"

#include <cstring>

namespace {

constexpr int maxCodeLength = 15;
constexpr int codeLengthSymbols = 19;
constexpr int maxCodeLengthCodeLength = 7;
constexpr int endOfBlock = 256;

// Reads bits least significant first from a bit position on; past the end of the input it reads
// zeros, and withinInput() tells whether it went there.
class BitReader
{
public:
    BitReader(const uchar *data, qint64 size, qint64 position)
        : m_data(data), m_size(size), m_next(position / 8)
    {
        refill();
        drop(int(position % 8));
    }

    // At least 56 bits buffered.
    void refill()
    {
        while (m_count <= 56) {
            m_bits |= quint64(m_next < m_size ? m_data[m_next] : 0) << m_count;
            ++m_next;
            m_count += 8;
        }
    }
    quint32 peek(int count) const { return quint32(m_bits & ((quint64(1) << count) - 1)); }
    void drop(int count)
    {
        m_bits >>= count;
        m_count -= count;
    }
    quint32 take(int count)
    {
        const quint32 value = peek(count);
        drop(count);
        return value;
    }
    bool withinInput() const { return m_next * 8 - m_count <= m_size * 8; }

private:
    const uchar *m_data;
    qint64 m_size;
    qint64 m_next;
    quint64 m_bits = 0;
    int m_count = 0;
};

enum class CodeKind { CodeLengths, LiteralLengths, Distances };

// Whether zlib builds a code from these lengths: a complete code, or (literal/length and distance
// codes) a single code of length 1, or (distance codes) none at all. zlib refuses every other
// incomplete or over-subscribed code.
bool acceptedCode(const quint8 *lengths, int symbols, CodeKind kind, quint16 *counts)
{
    std::memset(counts, 0, sizeof(quint16) * (maxCodeLength + 1));
    for (int symbol = 0; symbol < symbols; ++symbol)
        ++counts[lengths[symbol]];
    int left = 1;
    int longest = 0;
    for (int length = 1; length <= maxCodeLength; ++length) {
        left = 2 * left - counts[length];
        if (left < 0)
            return false;
        if (counts[length] != 0)
            longest = length;
    }
    return left == 0 || (kind == CodeKind::LiteralLengths && longest == 1)
        || (kind == CodeKind::Distances && longest <= 1);
}

// The code lengths code of a dynamic block header: complete, at most 7 bits a code.
class CodeLengthCode
{
public:
    bool build(const quint8 *lengths)
    {
        quint16 counts[maxCodeLength + 1];
        if (!acceptedCode(lengths, codeLengthSymbols, CodeKind::CodeLengths, counts))
            return false;
        quint32 nextCode[maxCodeLengthCodeLength + 1] = {};
        for (int length = 1, code = 0; length <= maxCodeLengthCodeLength; ++length) {
            code = (code + counts[length - 1]) << 1;
            nextCode[length] = quint32(code);
        }
        for (int symbol = 0; symbol < codeLengthSymbols; ++symbol) {
            const int length = lengths[symbol];
            if (length == 0)
                continue;
            // The stream holds codes most significant bit first: index by the reversed code.
            const quint32 code = nextCode[length]++;
            quint32 reversed = 0;
            for (int bit = 0; bit < length; ++bit)
                reversed |= ((code >> bit) & 1) << (length - 1 - bit);
            for (quint32 index = reversed; index < tableSize; index += 1u << length)
                m_table[index] = quint8(symbol << 3 | length);
        }
        return true;
    }
    int decode(BitReader &in) const
    {
        const quint8 entry = m_table[in.peek(maxCodeLengthCodeLength)];
        in.drop(entry & 7);
        return entry >> 3;
    }

private:
    static constexpr quint32 tableSize = 1u << maxCodeLengthCodeLength;
    quint8 m_table[tableSize];
};

bool dynamicHeaderIsSound(BitReader &in)
{
    static constexpr quint8 order[codeLengthSymbols] = { 16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4,
        12, 3, 13, 2, 14, 1, 15 };
    const int literalLengthCount = int(in.take(5)) + 257;
    const int distanceCount = int(in.take(5)) + 1;
    const int codeLengthCount = int(in.take(4)) + 4;
    if (literalLengthCount > 286 || distanceCount > 30)
        return false;
    quint8 lengths[286 + 30] = {};
    for (int i = 0; i < codeLengthCount; ++i) {
        if (i % 16 == 0)
            in.refill();
        lengths[order[i]] = quint8(in.take(3));
    }
    CodeLengthCode code;
    if (!code.build(lengths))
        return false;

    std::memset(lengths, 0, sizeof lengths);
    const int total = literalLengthCount + distanceCount;
    for (int have = 0; have < total;) {
        in.refill();
        const int symbol = code.decode(in);
        if (symbol < 16) {
            lengths[have++] = quint8(symbol);
            continue;
        }
        if (symbol == 16 && have == 0)
            return false;
        const quint8 repeated = symbol == 16 ? lengths[have - 1] : 0;
        const int copies = symbol == 16 ? 3 + int(in.take(2))
            : symbol == 17              ? 3 + int(in.take(3))
                                        : 11 + int(in.take(7));
        if (have + copies > total)
            return false;
        std::memset(lengths + have, repeated, size_t(copies));
        have += copies;
    }
    quint16 counts[maxCodeLength + 1];
    return lengths[endOfBlock] != 0
        && acceptedCode(lengths, literalLengthCount, CodeKind::LiteralLengths, counts)
        && acceptedCode(lengths + literalLengthCount, distanceCount, CodeKind::Distances, counts)
        && in.withinInput();
}

} // namespace

bool deflateBlockHeaderIsSound(const uchar *data, qint64 size, qint64 position, bool *final)
{
    BitReader in(data, size, position);
    *final = in.take(1) != 0;
    switch (in.take(2)) {
    case 0: // stored
    case 1: // the fixed codes
        return in.withinInput();
    case 2:
        return dynamicHeaderIsSound(in);
    default:
        return false;
    }
}
