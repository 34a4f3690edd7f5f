#include "commandline.h"

#include "scenario.h"

#include <QCommandLineParser>

namespace {

bool parsePort(const QString &text, quint16 min, quint16 *port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value < min || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

bool parseAddress(const QString &text, QHostAddress *address)
{
    // Only numeric IPv4 addresses: the supervisor compares source addresses as they stand.
    const QHostAddress parsed(text);
    if (parsed.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    *address = parsed;
    return true;
}

} // namespace

bool CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Simulated cash application for localcashserver, and a command-line client.\n"
            "\n"
            "Child mode (the supervisor's cash application): cashsim [options]\n"
            "  Binds the cash port, answers MAINTENANCE_START_CMD (positively unless told\n"
            "  otherwise) and runs the steps of the scenario for this start. Arguments that\n"
            "  are no cashsim options (auth=..., empty ones) are accepted and ignored.\n"
            "\n"
            "Client mode: cashsim send restart|reboot|halt|maintainer [options]\n"
            "             cashsim send update [PATH] | send code N [TEXT] | send raw HEX\n"
            "  Sends one command from a free port and prints the answer. Exit status:\n"
            "  0 positive, 1 negative, 2 usage error, 3 bind failed, 4 no answer within\n"
            "  3 s, 5 send failed, 6 a datagram that is no answer.\n"
            "\n"
            "Child mode exit status: as the scenario's exit step; 2 bad options, scenario\n"
            "or state file; 3 the cash port cannot be bound; 124 time limit reached;\n"
            "125 wait-maintenance timed out; killed by SIGKILL for the crash step.\n"
            "\n")
        + Scenario::formatHelp());
    const QCommandLineOption helpOption(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Shows this help."));
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
        QStringLiteral("Scenario file to run (child mode)."), QStringLiteral("file"));
    const QCommandLineOption stateOption(QStringLiteral("state"),
        QStringLiteral("File counting the starts (child mode; default: the scenario file "
                       "name plus \".runs\")."),
        QStringLiteral("file"));
    const QCommandLineOption cashPortOption(QStringLiteral("cash-port"),
        QStringLiteral("UDP port to bind (child mode; 0: any free port)."), QStringLiteral("port"),
        QStringLiteral("55006"));
    const QCommandLineOption serverPortOption(QStringLiteral("server-port"),
        QStringLiteral("The supervisor's UDP port."), QStringLiteral("port"),
        QStringLiteral("55005"));
    const QCommandLineOption serverAddressOption(QStringLiteral("server-address"),
        QStringLiteral("The supervisor's IPv4 address."), QStringLiteral("address"),
        QStringLiteral("127.0.0.1"));
    const QCommandLineOption bindAddressOption(QStringLiteral("bind-address"),
        QStringLiteral("Local IPv4 address to bind, the source address of what is sent."),
        QStringLiteral("address"), QStringLiteral("0.0.0.0"));
    const QCommandLineOption timeLimitOption(QStringLiteral("time-limit"),
        QStringLiteral("Exit with status 124 after this many seconds (child mode; 0: "
                       "never)."),
        QStringLiteral("seconds"), QStringLiteral("120"));
    const QCommandLineOption answerOption(QStringLiteral("maintenance-answer"),
        QStringLiteral("How to answer MAINTENANCE_START_CMD: ack, nak or none (child mode)."),
        QStringLiteral("ack|nak|none"), QStringLiteral("ack"));
    parser.addOptions({ helpOption, scenarioOption, stateOption, cashPortOption, serverPortOption,
        serverAddressOption, bindAddressOption, timeLimitOption, answerOption });
    help = parser.helpText();

    const bool parsed = parser.parse(arguments);
    const QStringList positional = parser.positionalArguments();
    client = !positional.isEmpty() && positional.first() == QLatin1String("send");
    if (!parsed) {
        // The supervisor hands its child whatever arguments are configured for the real
        // application; only the client's own command line must be exact.
        if (client || parser.unknownOptionNames().isEmpty()) {
            error = parser.errorText();
            return false;
        }
        ignoredOptions = parser.unknownOptionNames();
    }
    helpRequested = parser.isSet(helpOption);
    if (helpRequested)
        return true;

    if (!parsePort(parser.value(serverPortOption), 1, &serverPort)) {
        error = QStringLiteral("--server-port needs a port from 1 to 65535");
        return false;
    }
    if (!parseAddress(parser.value(serverAddressOption), &serverAddress)) {
        error = QStringLiteral("--server-address needs a numeric IPv4 address");
        return false;
    }
    if (!parseAddress(parser.value(bindAddressOption), &bindAddress)) {
        error = QStringLiteral("--bind-address needs a numeric IPv4 address");
        return false;
    }

    if (client) {
        QString why;
        if (!Scenario::parseStep(positional.join(QLatin1Char(' ')), &clientStep, &why)) {
            error = why;
            return false;
        }
        return true;
    }

    scenarioPath = parser.value(scenarioOption);
    statePath = parser.value(stateOption);
    if (statePath.isEmpty() && !scenarioPath.isEmpty())
        statePath = scenarioPath + QStringLiteral(".runs");
    if (!parsePort(parser.value(cashPortOption), 0, &cashPort)) {
        error = QStringLiteral("--cash-port needs a port from 0 to 65535");
        return false;
    }
    bool ok = false;
    timeLimitSeconds = parser.value(timeLimitOption).toInt(&ok);
    if (!ok || timeLimitSeconds < 0 || timeLimitSeconds > 24 * 3600) {
        error = QStringLiteral("--time-limit needs a number of seconds from 0 to 86400");
        return false;
    }
    QString why;
    Step answer;
    if (!Scenario::parseStep(
            QStringLiteral("maintenance-answer ") + parser.value(answerOption), &answer, &why)) {
        error = QStringLiteral("--maintenance-answer takes ack, nak or none");
        return false;
    }
    maintenanceAnswer = answer.answer;
    return true;
}
