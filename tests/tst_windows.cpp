// What only the Windows build can show: the supervisor is a GUI-subsystem program (no console
// window on the till) that still receives its command line and writes its log with CR LF.
// Run under Wine by scripts/windows-check.sh; Wine loads the image the way Windows does, but it
// never opens a console for a console program either, so the subsystem is checked in the header.
#include "testutil.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void guiSubsystem();
    void startsFromItsOwnDirectory();
};

void tst_Windows::guiSubsystem()
{
    const QByteArray image = readFile(QStringLiteral(LOCALCASHSERVER_PATH));
    QVERIFY2(image.size() >= 0x40, LOCALCASHSERVER_PATH);
    QCOMPARE(image.left(2), QByteArray("MZ"));

    // e_lfanew at 0x3c points to "PE\0\0"; after it come the 20-byte file header and the optional
    // header, whose Subsystem field lies at offset 68 in both the PE32 and the PE32+ layout.
    const quint32 pe = qFromLittleEndian<quint32>(image.constData() + 0x3c);
    QVERIFY(qint64(pe) + 24 + 70 <= image.size());
    QCOMPARE(image.mid(int(pe), 4), QByteArray("PE\0\0", 4));
    const quint16 magic = qFromLittleEndian<quint16>(image.constData() + pe + 24);
    QVERIFY2(magic == 0x10b || magic == 0x20b, qPrintable(QString::number(magic, 16)));
    const quint16 subsystem = qFromLittleEndian<quint16>(image.constData() + pe + 24 + 68);
    QCOMPARE(subsystem, quint16(2)); // IMAGE_SUBSYSTEM_WINDOWS_GUI; 3 would be a console program
}

void tst_Windows::startsFromItsOwnDirectory()
{
    // A copy under its own name, so that nothing which acts on the program's image name can
    // reach another test's supervisor. Started from elsewhere by its full path: the log must
    // appear beside the program, which proves that the GUI entry handed argv to main.
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString program = dir.filePath(QStringLiteral("lcs_tst_windows.exe"));
    QVERIFY(QFile::copy(QStringLiteral(LOCALCASHSERVER_PATH), program));

    QTemporaryDir elsewhere;
    QVERIFY2(elsewhere.isValid(), qPrintable(elsewhere.errorString()));
    QProcess process;
    process.setWorkingDirectory(elsewhere.path());
    process.start(program, QStringList());
    QVERIFY2(process.waitForStarted(30000), qPrintable(process.errorString()));
    // Without a cash application to run the supervisor ends by itself; never leave it behind.
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        QFAIL("the supervisor did not end by itself");
    }

    const QString logPath = dir.filePath(QStringLiteral("log/localserver.log"));
    const QByteArray bytes = readFile(logPath);
    const QList<LogLine> lines = readLog(logPath);
    QVERIFY2(!lines.isEmpty(), "no log beside the program");
    QCOMPARE(lines.first().label, QStringLiteral("EMRG"));
    QCOMPARE(lines.first().where, QStringLiteral("main"));
    QVERIFY2(lines.first().text.startsWith(
                 QStringLiteral("LocalCashServer app started Ver : Win 2.71.0.0 (")),
        qPrintable(lines.first().text));
    const int firstEnd = bytes.indexOf('\n');
    QVERIFY(firstEnd > 0);
    QCOMPARE(bytes.at(firstEnd - 1), '\r');
    QVERIFY(!QFileInfo::exists(elsewhere.filePath(QStringLiteral("log"))));
}

QTEST_GUILESS_MAIN(tst_Windows)
#include "tst_windows.moc"
