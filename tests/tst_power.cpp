#include "app/power.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// Runs the operations against a fake systemctl that is the only program PATH can find, so the
// real one can never be reached.
class tst_Power : public QObject
{
    Q_OBJECT

private slots:
    void systemctl_data();
    void systemctl();
};

void tst_Power::systemctl_data()
{
    QTest::addColumn<bool>("reboot"); // else power-off
    QTest::addColumn<QString>("exit"); // the fake's last command; empty: no fake at all
    QTest::addColumn<bool>("accepted");

    QTest::newRow("reboot accepted") << true << "exit 0" << true;
    QTest::newRow("power-off accepted") << false << "exit 0" << true;
    QTest::newRow("power-off refused") << false << "exit 1" << false;
    QTest::newRow("systemctl killed") << true << "kill -s KILL $$" << false;
    QTest::newRow("no systemctl in PATH") << true << QString() << false;
}

void tst_Power::systemctl()
{
    QFETCH(bool, reboot);
    QFETCH(QString, exit);
    QFETCH(bool, accepted);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString fake = dir.filePath(QStringLiteral("bin/systemctl"));
    const QString record = dir.filePath(QStringLiteral("arguments"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("bin"))));
    if (!exit.isEmpty()) {
        // Shell built-ins only: the fake needs nothing from PATH.
        QVERIFY(writeFile(fake,
            QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1'\n%2\n")
                .arg(record, exit)
                .toUtf8()));
        QVERIFY(QFile::setPermissions(fake, QFile::ReadOwner | QFile::ExeOwner));
    }

    const QByteArray path = qgetenv("PATH");
    const auto restorePath = qScopeGuard([&path] { qputenv("PATH", path); });
    QVERIFY(qputenv("PATH", QFile::encodeName(dir.filePath(QStringLiteral("bin")))));
    QCOMPARE(QStandardPaths::findExecutable(QStringLiteral("systemctl")),
        exit.isEmpty() ? QString() : fake);

    QCOMPARE(reboot ? rebootComputer() : powerOffComputer(), accepted);
    QCOMPARE(readFile(record),
        QByteArray(exit.isEmpty() ? ""
                : reboot          ? "reboot\n"
                                  : "poweroff\n"));
}

QTEST_GUILESS_MAIN(tst_Power)
#include "tst_power.moc"
