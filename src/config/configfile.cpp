#include "configfile.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextCodec>

namespace {
const QString initMethod = QStringLiteral("ConfigFile::init");
// Settings files hold a few hundred bytes; one near this size is a mistake, and reading it whole
// would hold up the start and its memory.
constexpr qint64 maxFileSize = 1 << 20;
} // namespace

ConfigFile::ConfigFile(const QString &codecName)
    : codecName(codecName), logSource(QStringLiteral("INIT"))
{
    logSource.log(Log::Warning,
        QStringLiteral("======================== initialization process started "
                       "========================"),
        QString());
}

ConfigFile::~ConfigFile()
{
    logSource.log(Log::Warning,
        QStringLiteral("======================== initialization process finished "
                       "======================="),
        QString());
}

bool ConfigFile::init(const QString &fileName, bool caseSensitive)
{
    this->caseSensitive = caseSensitive;

    QFile file(fileName);
    if (!file.exists()) {
        logSource.log(
            Log::Warning, tr("Конфигурационный файл '%1' не найден.").arg(fileName), initMethod);
        return true;
    }
    logSource.log(
        Log::Info, tr("Загрузка конфигурационного файла '%1'.").arg(fileName), initMethod);

    if (!file.open(QIODevice::ReadOnly)) {
        logSource.error(tr("Не удалось открыть файл '%1': (%2) %3")
                            .arg(fileName)
                            .arg(int(file.error()))
                            .arg(file.errorString()),
            initMethod);
        return false;
    }

    const QByteArray bytes = file.read(maxFileSize + 1);
    file.close();
    if (bytes.size() > maxFileSize) {
        logSource.error(tr("Конфигурационный файл '%1' больше %2 байт и не загружен.")
                            .arg(fileName)
                            .arg(maxFileSize),
            initMethod);
        return false;
    }

    // Like a text stream with the codec set: a byte-order mark still selects its Unicode encoding.
    QTextCodec *codec = QTextCodec::codecForName(codecName.toLatin1());
    if (!codec)
        codec = QTextCodec::codecForLocale();
    parse(QTextCodec::codecForUtfText(bytes, codec)->toUnicode(bytes));
    return true;
}

void ConfigFile::parse(const QString &text)
{
    static const QRegularExpression sectionHeader(
        QStringLiteral("^\\[(\\w+)\\]$"), QRegularExpression::UseUnicodePropertiesOption);

    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &rawLine : lines) {
        QString line = rawLine.trimmed();
        const int hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash); // not trimmed again: "[CASH] # x" keeps its blank
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;

        const QRegularExpressionMatch header = sectionHeader.match(line);
        if (header.hasMatch()) {
            currentSection = header.captured(1);
            continue;
        }

        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        values[normalised(currentSection)][normalised(key)] = value;
    }
}

QString ConfigFile::normalised(const QString &name) const
{
    return caseSensitive ? name : name.toUpper();
}

bool ConfigFile::lookup(const QString &section, const QString &key, QString *value) const
{
    const auto sectionIt = values.constFind(normalised(section));
    if (sectionIt == values.constEnd())
        return false;
    const auto keyIt = sectionIt->constFind(normalised(key));
    if (keyIt == sectionIt->constEnd())
        return false;
    *value = keyIt.value();
    return true;
}

void ConfigFile::report(const QString &section, const QString &key, const QString &value) const
{
    logSource.log(Log::Warning, QStringLiteral("%1 = %2").arg(key).arg(value), section);
}

QString ConfigFile::getString(
    const QString &section, const QString &key, const QString &defaultValue)
{
    QString value;
    if (!lookup(section, key, &value))
        value = defaultValue;
    report(section, key, value);
    return value;
}

std::optional<qint64> ConfigFile::signedValue(const QString &section, const QString &key) const
{
    QString text;
    bool ok = false;
    const qint64 value = lookup(section, key, &text) ? text.toLongLong(&ok, 10) : 0;
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

qint64 ConfigFile::getInt(const QString &section, const QString &key, qint64 defaultValue)
{
    const qint64 result = signedValue(section, key).value_or(defaultValue);
    report(section, key, QString::number(result));
    return result;
}

quint64 ConfigFile::getUInt(
    const QString &section, const QString &key, quint64 defaultValue, quint64 maximum)
{
    QString text;
    bool ok = false;
    const quint64 parsed = lookup(section, key, &text) ? text.toULongLong(&ok, 10) : 0;
    const quint64 result = ok && parsed <= maximum ? parsed : defaultValue;
    report(section, key, QString::number(result));
    return result;
}

bool ConfigFile::getBool(const QString &section, const QString &key, bool defaultValue)
{
    const std::optional<qint64> value = signedValue(section, key);
    const bool result = value ? *value != 0 : defaultValue;
    report(section, key, result ? QStringLiteral("1") : QStringLiteral("0"));
    return result;
}
