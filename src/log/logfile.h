#ifndef LOGFILE_H
#define LOGFILE_H

class QString;

namespace Log {
// Opens path for appending in text mode (creating it), writes line, flushes and closes.
// Returns false when the file cannot be opened or written.
bool appendToFile(const QString &path, const char *line);
} // namespace Log

#endif // LOGFILE_H
