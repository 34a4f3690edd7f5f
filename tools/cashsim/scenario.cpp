#include "scenario.h"

#include "ipc/commands.h"

#include <QFile>
#include <QRegularExpression>

// Scenario format, one item a line; leading and trailing blanks are ignored:
//
//   # text                      a comment (only as a whole line: paths may contain '#')
//   [run N]                     the following steps belong to the N-th start (N >= 1)
//   [run *]                     the following steps belong to every start without a section
//                               of its own; steps before the first section belong here too
//   send restart|reboot|halt|maintainer
//   send update [PATH]          PATH is the rest of the line, sent as UTF-8; may be empty
//   send code N [TEXT]          any code from -32768 to 65535, TEXT as payload (UTF-8)
//   send raw HEX                the datagram exactly as given in hex digits (blanks allowed)
//   sleep MS
//   exit CODE                   normal exit with that code
//   crash                       abnormal end (the parent sees a crash exit)
//   wait-maintenance [MS]       until MAINTENANCE_START_CMD has come (one arrival is consumed
//                               per wait, also one that came earlier); exit 125 after MS
//   maintenance-answer ack|nak|none   how MAINTENANCE_START_CMD is answered from now on
//   record FILE                 append run, pid, working directory and arguments to FILE,
//                               as "run N", "pid P", "cwd DIR", "program PATH", "args K",
//                               K lines "[ARGUMENT]" and "end", each a line of its own
//   echo TEXT                   print TEXT
//
// Every send waits up to 3 s for the answer and prints the outcome. The same section header
// may appear more than once; its steps are joined in file order.

namespace {

bool parseNumber(const QString &text, qint64 min, qint64 max, int *value)
{
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    if (!ok || number < min || number > max)
        return false;
    *value = int(number);
    return true;
}

// Splits "keyword rest of line" at the first run of blanks.
void splitFirst(const QString &line, QString *first, QString *rest)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QRegularExpressionMatch m = blanks.match(line);
    if (!m.hasMatch()) {
        *first = line;
        rest->clear();
        return;
    }
    *first = line.left(m.capturedStart());
    *rest = line.mid(m.capturedEnd()).trimmed();
}

bool parseSend(const QString &arguments, Step *step, QString *why)
{
    QString kind;
    QString rest;
    splitFirst(arguments, &kind, &rest);
    struct Plain
    {
        const char *name;
        int code;
    };
    static const Plain plain[] = { { "restart", RESTART_CMD }, { "reboot", REBOOT_CMD },
        { "halt", HALT_CMD }, { "maintainer", MAINTAINER_CMD } };
    step->kind = Step::Send;
    step->text = kind;
    for (const Plain &p : plain) {
        if (kind == QLatin1String(p.name)) {
            if (!rest.isEmpty()) {
                *why = QStringLiteral("send %1 takes no argument").arg(kind);
                return false;
            }
            step->code = p.code;
            return true;
        }
    }
    if (kind == QLatin1String("update")) {
        step->code = UPDATE_CMD;
        step->payload = rest.toUtf8();
        return true;
    }
    if (kind == QLatin1String("code")) {
        QString number;
        QString text;
        splitFirst(rest, &number, &text);
        if (!parseNumber(number, -32768, 65535, &step->code)) {
            *why = QStringLiteral("send code needs a number from -32768 to 65535");
            return false;
        }
        step->payload = text.toUtf8();
        return true;
    }
    if (kind == QLatin1String("raw")) {
        QString digits = rest;
        digits.remove(QLatin1Char(' '));
        static const QRegularExpression hexDigits(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
        if (!hexDigits.match(digits).hasMatch()) {
            *why = QStringLiteral("send raw needs pairs of hex digits");
            return false;
        }
        step->kind = Step::SendRaw;
        step->payload = QByteArray::fromHex(digits.toLatin1());
        return true;
    }
    *why = QStringLiteral("unknown command '%1' (restart, reboot, halt, maintainer, update, code, "
                          "raw)")
               .arg(kind);
    return false;
}

} // namespace

bool Scenario::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read scenario %1: %2").arg(path, file.errorString());
        return false;
    }
    return parse(QString::fromUtf8(file.readAll()));
}

bool Scenario::parse(const QString &text)
{
    static const QRegularExpression section(QStringLiteral("^\\[\\s*run\\s+(\\*|\\d+)\\s*\\]$"));
    runs.clear();
    anyRun.clear();
    QList<Step> *current = &anyRun;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const QRegularExpressionMatch m = section.match(line);
            int run = 0;
            if (!m.hasMatch()
                || (m.captured(1) != QLatin1String("*")
                    && !parseNumber(m.captured(1), 1, 1000000000, &run))) {
                error = QStringLiteral("line %1: bad section '%2' (use [run N] or [run *])")
                            .arg(i + 1)
                            .arg(line);
                return false;
            }
            current = run == 0 ? &anyRun : &runs[run];
            continue;
        }
        Step step;
        QString why;
        if (!parseStep(line, &step, &why)) {
            error = QStringLiteral("line %1: %2").arg(i + 1).arg(why);
            return false;
        }
        step.line = i + 1;
        current->append(step);
    }
    return true;
}

QList<Step> Scenario::steps(int run) const
{
    return runs.value(run, anyRun);
}

bool Scenario::parseStep(const QString &line, Step *step, QString *why)
{
    QString keyword;
    QString rest;
    step->source = line.trimmed();
    splitFirst(step->source, &keyword, &rest);

    if (keyword == QLatin1String("send"))
        return parseSend(rest, step, why);
    if (keyword == QLatin1String("sleep") || keyword == QLatin1String("exit")) {
        step->kind = keyword == QLatin1String("sleep") ? Step::Sleep : Step::Exit;
        const qint64 max = step->kind == Step::Sleep ? 24 * 3600 * 1000 : 255;
        if (!parseNumber(rest, 0, max, &step->number)) {
            *why = QStringLiteral("%1 needs a number from 0 to %2").arg(keyword).arg(max);
            return false;
        }
        return true;
    }
    if (keyword == QLatin1String("crash") && rest.isEmpty()) {
        step->kind = Step::Crash;
        return true;
    }
    if (keyword == QLatin1String("wait-maintenance")) {
        step->kind = Step::WaitMaintenance;
        step->number = -1;
        if (!rest.isEmpty() && !parseNumber(rest, 0, 24 * 3600 * 1000, &step->number)) {
            *why = QStringLiteral("wait-maintenance takes a time-out in milliseconds");
            return false;
        }
        return true;
    }
    if (keyword == QLatin1String("maintenance-answer")) {
        step->kind = Step::MaintenanceAnswer;
        if (rest == QLatin1String("ack"))
            step->answer = Step::Ack;
        else if (rest == QLatin1String("nak"))
            step->answer = Step::Nak;
        else if (rest == QLatin1String("none"))
            step->answer = Step::Silent;
        else {
            *why = QStringLiteral("maintenance-answer takes ack, nak or none");
            return false;
        }
        return true;
    }
    if (keyword == QLatin1String("record") && !rest.isEmpty()) {
        step->kind = Step::Record;
        step->text = rest;
        return true;
    }
    if (keyword == QLatin1String("echo")) {
        step->kind = Step::Echo;
        step->text = rest;
        return true;
    }
    *why = QStringLiteral("unknown or incomplete step '%1'").arg(line.trimmed());
    return false;
}

QString Scenario::formatHelp()
{
    return QStringLiteral(
        "Scenario file (UTF-8, one item a line, blanks around it ignored):\n"
        "  # text                   comment line\n"
        "  [run N]                  steps of the N-th start (counted in the state file)\n"
        "  [run *]                  steps of every start without a section of its own;\n"
        "                           steps before the first section belong here too\n"
        "  send restart|reboot|halt|maintainer\n"
        "  send update [PATH]       PATH: rest of the line (UTF-8), may be empty\n"
        "  send code N [TEXT]       any code -32768..65535, TEXT as payload\n"
        "  send raw HEX             the whole datagram in hex, e.g. 00 00 00 07\n"
        "  sleep MS\n"
        "  exit CODE                normal exit with CODE (0..255)\n"
        "  crash                    abnormal end (a crash exit for the parent)\n"
        "  wait-maintenance [MS]    until MAINTENANCE_START_CMD came (each wait consumes\n"
        "                           one arrival, also an earlier one); exit 125 after MS\n"
        "  maintenance-answer ack|nak|none   answer to MAINTENANCE_START_CMD from now on\n"
        "  record FILE              append run, pid, cwd and arguments to FILE\n"
        "  echo TEXT                print TEXT\n"
        "Relative paths are taken from cashsim's working directory. A record is the\n"
        "block: run N / pid P / cwd DIR / program PATH / args K / K lines [ARGUMENT]\n"
        "(empty ones as []) / end, each on a line of its own.\n"
        "Each send waits up to 3 s for its answer and prints the outcome. When the steps\n"
        "run out, cashsim keeps answering until the time limit (exit 124).\n");
}
