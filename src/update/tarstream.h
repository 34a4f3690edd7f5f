#ifndef TARSTREAM_H
#define TARSTREAM_H

#include "tinytarheader.h"

#include <QByteArray>

#include <algorithm>

// The uncompressed tar stream of a package, held in memory and handed out one 512-byte record at
// a time where it lies: no stream device and no copy between the stream and the file.
class TarStream
{
public:
    explicit TarStream(const QByteArray &data) : data(data) { }

    bool atEnd() const { return position >= data.size(); }

    // Points record at the next record and moves past it. Returns its size: 512, or less (down
    // to 0) where the stream ends inside it.
    int next(const char **record)
    {
        const int size = int(std::min<qint64>(TinyTarHeader::recordSize, data.size() - position));
        *record = data.constData() + position;
        position += size;
        return size;
    }

private:
    const QByteArray data;
    qint64 position = 0;
};

#endif // TARSTREAM_H
