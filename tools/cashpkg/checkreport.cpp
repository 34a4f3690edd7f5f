#include "checkreport.h"

#include "packagechecker.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

QString phrase(const QString &action)
{
    if (action == QLatin1String("create-directory"))
        return QStringLiteral("create directory");
    if (action == QLatin1String("back-up-file"))
        return QStringLiteral("back up the existing file");
    if (action == QLatin1String("write-file"))
        return QStringLiteral("write file");
    return action;
}

QString severityName(Finding::Severity severity)
{
    return severity == Finding::Error ? QStringLiteral("error") : QStringLiteral("warning");
}

void appendFindings(QStringList &lines, const Findings &findings, const QString &indent)
{
    for (const Finding &finding : findings) {
        lines << QStringLiteral("%1%2: %3 [%4]")
                     .arg(indent, severityName(finding.severity), finding.message, finding.code);
    }
}

QJsonArray findingsJson(const Findings &findings)
{
    QJsonArray array;
    for (const Finding &finding : findings) {
        array.append(QJsonObject { { QStringLiteral("severity"), severityName(finding.severity) },
            { QStringLiteral("code"), finding.code },
            { QStringLiteral("message"), finding.message } });
    }
    return array;
}

QJsonValue stringOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

QString CheckReport::verdict(const CheckResult &result)
{
    const int errors = result.count(Finding::Error);
    const int warnings = result.count(Finding::Warning);
    const QString counts = QStringLiteral("%1 error(s), %2 warning(s)").arg(errors).arg(warnings);
    if (!result.installs) {
        const QString where = result.stopIndex > 0
            ? QStringLiteral("stop at entry %1").arg(result.stopIndex)
            : QStringLiteral("fail");
        return QStringLiteral("FAILS: the installer would %1: %2 (%3)")
            .arg(where, result.stopReason, counts);
    }
    if (errors > 0) {
        return QStringLiteral("ERRORS: the installer would report success, but would not install "
                              "what the package holds (%1)")
            .arg(counts);
    }
    return QStringLiteral("OK: the installer would install all %1 entries (%2)")
        .arg(result.entries.size())
        .arg(counts);
}

QString CheckReport::text(const CheckResult &result)
{
    QStringList lines;
    lines << QStringLiteral("Package %1").arg(QDir::toNativeSeparators(result.package));
    if (result.readable) {
        lines << QStringLiteral("  %1, %2 bytes, %3 bytes of tar, %4 entries")
                     .arg(result.compression.isEmpty() ? QStringLiteral("not compressed")
                                                       : result.compression)
                     .arg(result.packageSize)
                     .arg(result.tarSize)
                     .arg(result.entries.size());
    }
    if (result.target.isEmpty()) {
        lines << QStringLiteral("  no target given: what exists there is not known");
    } else {
        lines << QStringLiteral("  target %1, %2")
                     .arg(QDir::toNativeSeparators(result.target),
                         result.backup.isEmpty()
                             ? QStringLiteral("no backups")
                             : QStringLiteral("backups in %1")
                                   .arg(QDir::toNativeSeparators(result.backup)));
    }
    if (!result.signature.isEmpty())
        lines << QStringLiteral("  signature: %1").arg(result.signature);

    for (const CheckedEntry &entry : result.entries) {
        QString line =
            QStringLiteral("%1  %2 %3").arg(entry.index, 4).arg(entry.type, -13).arg(entry.name);
        if (entry.type != QLatin1String("directory"))
            line += QStringLiteral("  (%1 bytes)").arg(entry.size);
        QStringList actions;
        for (const QString &action : entry.actions)
            actions << phrase(action);
        if (!entry.reached)
            actions << QStringLiteral("not reached");
        if (!actions.isEmpty())
            line += QLatin1String(": ") + actions.join(QLatin1String(", "));
        lines << line;
        appendFindings(lines, entry.findings, QStringLiteral("        "));
    }
    appendFindings(lines, result.findings, QStringLiteral("  "));
    lines << verdict(result);
    return lines.join(QLatin1Char('\n'));
}

QByteArray CheckReport::json(const CheckResult &result)
{
    QJsonArray entries;
    for (const CheckedEntry &entry : result.entries) {
        entries.append(QJsonObject { { QStringLiteral("index"), entry.index },
            { QStringLiteral("name"), entry.name }, { QStringLiteral("type"), entry.type },
            { QStringLiteral("typeFlag"),
                entry.typeFlag == '\0' ? QString() : QString(QLatin1Char(entry.typeFlag)) },
            { QStringLiteral("size"), double(entry.size) },
            { QStringLiteral("actions"), QJsonArray::fromStringList(entry.actions) },
            { QStringLiteral("reached"), entry.reached },
            { QStringLiteral("findings"), findingsJson(entry.findings) } });
    }
    const QJsonObject root { { QStringLiteral("package"), result.package },
        { QStringLiteral("readable"), result.readable },
        { QStringLiteral("compression"), stringOrNull(result.compression) },
        { QStringLiteral("packageSize"), double(result.packageSize) },
        { QStringLiteral("tarSize"), double(result.tarSize) },
        { QStringLiteral("target"), stringOrNull(result.target) },
        { QStringLiteral("backup"), stringOrNull(result.backup) },
        { QStringLiteral("signature"), stringOrNull(result.signature) },
        { QStringLiteral("entries"), entries },
        { QStringLiteral("findings"), findingsJson(result.findings) },
        { QStringLiteral("installs"), result.installs },
        { QStringLiteral("stopsAt"),
            result.stopIndex > 0 ? QJsonValue(result.stopIndex) : QJsonValue() },
        { QStringLiteral("errors"), result.count(Finding::Error) },
        { QStringLiteral("warnings"), result.count(Finding::Warning) },
        { QStringLiteral("verdict"), verdict(result) } };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
