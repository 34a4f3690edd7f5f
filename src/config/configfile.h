#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include "log/logsource.h"

#include <QCoreApplication>
#include <QHash>
#include <QString>

#include <limits>
#include <optional>

// Reads INI-style settings files into memory and hands them out through typed getters, each of
// which logs the name and the value it returns. Later files override earlier ones.
class ConfigFile
{
    Q_DECLARE_TR_FUNCTIONS(ConfigFile)

public:
    explicit ConfigFile(const QString &codecName);
    ~ConfigFile();

    ConfigFile(const ConfigFile &) = delete;
    ConfigFile &operator=(const ConfigFile &) = delete;

    // Loads one file. A missing file is not an error; false when it exists but cannot be opened
    // or is larger than 1 MiB (none of it is then used).
    bool init(const QString &fileName, bool caseSensitive);

    QString getString(const QString &section, const QString &key, const QString &defaultValue);
    qint64 getInt(const QString &section, const QString &key, qint64 defaultValue);
    // A number above maximum counts as no number: the default is returned (and logged).
    quint64 getUInt(const QString &section, const QString &key, quint64 defaultValue,
        quint64 maximum = std::numeric_limits<quint64>::max());
    bool getBool(const QString &section, const QString &key, bool defaultValue);

private:
    QString normalised(const QString &name) const;
    bool lookup(const QString &section, const QString &key, QString *value) const;
    // The stored value as a decimal signed number; none when absent or not a number.
    std::optional<qint64> signedValue(const QString &section, const QString &key) const;
    void parse(const QString &text);
    void report(const QString &section, const QString &key, const QString &value) const;

    bool caseSensitive = false;
    QString currentSection = QStringLiteral("DEFAULT");
    QString codecName;
    QHash<QString, QHash<QString, QString>> values;
    LogSource logSource;
};

#endif // CONFIGFILE_H
