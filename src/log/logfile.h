#ifndef LOGFILE_H
#define LOGFILE_H

class QByteArray;
class QString;

namespace Log {
// Opens path for appending in text mode (creating it), writes bytes, flushes and closes.
// Returns false when the file cannot be opened or written.
bool appendToFile(const QString &path, const QByteArray &bytes);
} // namespace Log

#endif // LOGFILE_H
