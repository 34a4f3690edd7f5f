#include "outputdecoder.h"

#include <QTextCodec>

namespace {

QString fromCp1251(const QByteArray &bytes)
{
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1251");
    return codec ? codec->toUnicode(bytes) : QString::fromLatin1(bytes);
}

// The length of a UTF-8 sequence begun at the end of bytes but not completed there; 0 when the
// bytes end on a whole character (or on something that is no UTF-8 at all).
int incompleteTail(const QByteArray &bytes)
{
    const int size = int(bytes.size());
    for (int back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes.at(size - back));
        if ((byte & 0xc0) == 0x80)
            continue; // a continuation byte: the lead byte lies further back
        const int length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

} // namespace

std::optional<QString> OutputDecoder::decode(QByteArray bytes)
{
    const auto zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    bytes.prepend(pending);
    pending.clear();

    // A piece cut at a zero byte ends there: nothing in it waits for more.
    const int tail = zero >= 0 ? 0 : incompleteTail(bytes);
    const QByteArray whole = bytes.left(bytes.size() - tail);
    const QString text = QString::fromUtf8(whole);
    // Invalid UTF-8 turns into replacement characters, which do not turn back into the same bytes.
    if (text.toUtf8() != whole)
        return fromCp1251(bytes);
    pending = bytes.right(tail);
    if (whole.isEmpty() && tail > 0)
        return std::nullopt;
    return text;
}

std::optional<QString> OutputDecoder::finish()
{
    if (pending.isEmpty())
        return std::nullopt;
    const QString text = fromCp1251(pending);
    pending.clear();
    return text;
}
