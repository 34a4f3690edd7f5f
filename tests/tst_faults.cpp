#include "supervisorprocess.h"
#include "tarbuilder.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

// Faults from outside the program around an update, against the real binary: each time the
// program goes on exactly as it is meant to, and says so in its log. The other faults are tried
// where their part is tested (settings files, the port, the cash program, the control script).
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void updateSourceChanges_data();
    void updateSourceChanges();
};

namespace {

const int startWait = 10000;

QByteArray command(int code, const QByteArray &payload = QByteArray())
{
    return QByteArray(1, '\0') + char(code >> 8 & 0xff) + '\0' + char(code & 0xff) + payload;
}

QByteArray positiveAnswer(int code)
{
    return QByteArray("\0\1\0", 3) + char(code);
}

QString where(const char *method)
{
    return QStringLiteral("LocalCashServer:LocalCashServer::") + QLatin1String(method);
}

QString entry(const char *label, const QString &where, const QString &text)
{
    return QStringLiteral("%1; %2; %3").arg(QLatin1String(label), where, text);
}

QString entry(const char *label, const char *method, const char *text)
{
    return entry(label, where(method), QString::fromUtf8(text));
}

} // namespace

void tst_Faults::updateSourceChanges_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("line"); // %1: the package's absolute path

    QTest::newRow("no path") << QStringLiteral("no path")
                             << QStringLiteral("Не задан путь до источника обновления.");
    QTest::newRow("removed") << QStringLiteral("remove")
                             << QStringLiteral("Источник обновления '%1' не найден.");
    QTest::newRow("replaced by a directory") << QStringLiteral(
        "directory") << QStringLiteral("Источник обновления '%1' не является файлом.");
    // Looked at, never opened: a pipe would block the program for good.
    QTest::newRow("replaced by a named pipe")
        << QStringLiteral("fifo") << QStringLiteral("Источник обновления '%1' не является файлом.");
    QTest::newRow("replaced by a link")
        << QStringLiteral("link") << QStringLiteral("Источник обновления '%1' является ссылкой.");
    QTest::newRow("emptied") << QStringLiteral("empty")
                             << QStringLiteral("Пакет обновления 'update.tgz' не прошёл проверку: "
                                               "это не поток gzip или zlib, или он повреждён.");
}

void tst_Faults::updateSourceChanges()
{
    QFETCH(QString, change);
    QFETCH(QString, line);

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    const QString package = supervisor.path(QStringLiteral("update.tgz"));
    QVERIFY(writeFile(package, gzipCompressed(TarBuilder().file("new.txt", "new").end().tar())));
    QVERIFY(supervisor.configure(QStringLiteral("[run 1]\nwait-maintenance 20000\nexit 0"), 6));
    QVERIFY(supervisor.start());
    QVERIFY(supervisor.waitForCashRun(1, startWait));
    const bool noPath = change == QLatin1String("no path");
    QCOMPARE(supervisor.send(command(4, noPath ? "" : "update.tgz")), positiveAnswer(4));

    // Between the command and the exit of the cash application.
    const QString aside = supervisor.path(QStringLiteral("aside.tgz"));
    if (change != QLatin1String("empty") && !noPath)
        QVERIFY(QFile::rename(package, aside));
    if (change == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(package));
    else if (change == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(package).constData(), 0600), 0);
    else if (change == QLatin1String("link"))
        QVERIFY(QFile::link(aside, package));
    else if (change == QLatin1String("empty"))
        QVERIFY(writeFile(package, QByteArray()));
    QVERIFY(supervisor.releaseCashApp());

    const QString stopped =
        entry("NOTE", "slotProcessFinished", "Процесс кассы остановлен для выполнения обновления.");
    QVERIFY(supervisor.waitForLog(stopped, startWait));
    // The installation blocks the event loop: an answer means it is over.
    QVERIFY(supervisor.answers());
    QVERIFY(supervisor.isRunning());
    const QStringList log = supervisor.log();
    const int at = log.indexOf(stopped);
    const QStringList after = log.mid(at + 1);
    if (change == QLatin1String("empty")) {
        const QString where = QStringLiteral("TinyTarUnpackerPrivate::unpack");
        QCOMPARE(after,
            QStringList(
                { entry("INFO", where, QStringLiteral("Распаковка архива 'update.tgz' в '.'...")),
                    entry("ERRR", where, line) }));
    } else {
        QCOMPARE(after,
            QStringList({ entry("ERRR", where("slotProcessFinished"),
                line.contains(QLatin1String("%1")) ? line.arg(package) : line) }));
    }
    QCOMPARE(supervisor.cashRuns(), 1);
    QVERIFY(!QFile::exists(supervisor.path(QStringLiteral("new.txt"))));
    QVERIFY(!QFile::exists(supervisor.path(QStringLiteral("bootstrap.sh"))));
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
