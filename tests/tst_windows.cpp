// What only the Windows build can show: the supervisor is a GUI-subsystem program (no console
// window on the till). Wine loads the image the way Windows does, but it never opens a console
// for a console program either, so the subsystem is checked in the header. That the program
// still receives its command line and writes its log with CR LF, the end-to-end tests show.
#include "testutil.h"

#include <QTest>
#include <QtEndian>

class tst_Windows : public QObject
{
    Q_OBJECT

private slots:
    void guiSubsystem();
};

void tst_Windows::guiSubsystem()
{
    const QByteArray image = readFile(testProgram(LOCALCASHSERVER_PATH));
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

QTEST_GUILESS_MAIN(tst_Windows)
#include "tst_windows.moc"
