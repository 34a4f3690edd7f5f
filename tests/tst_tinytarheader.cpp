#include "tarbuilder.h"
#include "update/tinytarheader.h"

#include <QDataStream>
#include <QTest>

namespace {

// A header for f.txt of 1000 bytes with one field overwritten and the checksum made right again.
QByteArray with(TarBuilder::Field field, const QByteArray &bytes)
{
    QByteArray record = TarBuilder::header("f.txt", 1000);
    TarBuilder::setField(record, field, bytes);
    return record;
}

} // namespace

class tst_TinyTarHeader : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void resetBetweenReads();
};

void tst_TinyTarHeader::read_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("expected"); // "invalid", "end", or "file|dir size name"

    const QByteArray hundred = QByteArray(96, 'n') + ".txt";
    QByteArray signedSum = TarBuilder::header("каталог/файл.txt", 0);
    TarBuilder::storeChecksum(signedSum, true);
    QByteArray wrongSum = TarBuilder::header("f.txt", 0);
    wrongSum[0] = 'g';

    QTest::newRow("plain file") << TarBuilder::header("dir/f.txt", 5) << "file 5 dir/f.txt";
    QTest::newRow("end record") << QByteArray(512, '\0') << "end";
    QTest::newRow("short record") << TarBuilder::header("f.txt", 5).left(511) << "invalid";
    // The mode field right after the name starts with digits that must not join the name.
    QTest::newRow("100-byte name without NUL")
        << TarBuilder::header(hundred, 0) << QStringLiteral("file 0 ") + QLatin1String(hundred);
    QTest::newRow("prefix never joined") << with(TarBuilder::Prefix, "a/b") << "file 1000 f.txt";
    QTest::newRow("UTF-8 name, unsigned checksum")
        << TarBuilder::header("каталог/файл.txt", 0) << "file 0 каталог/файл.txt";
    QTest::newRow("signed-byte checksum") << signedSum << "invalid";
    QTest::newRow("wrong checksum") << wrongSum << "invalid";

    QTest::newRow("size with NUL")
        << with(TarBuilder::Size, QByteArray("00000001750\0", 12)) << "file 1000 f.txt";
    QTest::newRow("size between blanks and NULs")
        << with(TarBuilder::Size, QByteArray("  1750 \0\0\0\0\0", 12)) << "file 1000 f.txt";
    QTest::newRow("size of 12 digits")
        << with(TarBuilder::Size, "777777777777") << "file 68719476735 f.txt";
    QTest::newRow("size of NULs") << with(TarBuilder::Size, QByteArray(12, '\0')) << "invalid";
    QTest::newRow("blank inside size")
        << with(TarBuilder::Size, QByteArray("0000 001750\0", 12)) << "invalid";
    QTest::newRow("base-256 size not recognised")
        << with(TarBuilder::Size, QByteArray("\x80\0\0\0\0\0\0\0\0\0\0\1", 12)) << "invalid";
    QTest::newRow("mtime without digits")
        << with(TarBuilder::Mtime, QByteArray("abc \0\0\0\0\0\0\0\0", 12)) << "invalid";
    QTest::newRow("mtime digits then letters")
        << with(TarBuilder::Mtime, "14536615xyz") << "file 1000 f.txt";

    QTest::newRow("type NUL") << with(TarBuilder::Type, QByteArray(1, '\0')) << "file 1000 f.txt";
    QTest::newRow("symbolic link") << TarBuilder::header("l", 0, '2') << "file 0 l";
    QTest::newRow("pax header") << TarBuilder::header("././@PaxHeader", 30, 'x')
                                << "file 30 ././@PaxHeader";
    QTest::newRow("directory with size") << with(TarBuilder::Type, "5") << "dir 1000 f.txt";
}

void tst_TinyTarHeader::read()
{
    QFETCH(QByteArray, record);

    QDataStream in(record);
    TinyTarHeader header;
    QString seen = QStringLiteral("invalid");
    if (header.read(in)) {
        seen = header.isEnd() ? QStringLiteral("end")
                              : QStringLiteral("%1 %2 %3")
                                    .arg(QLatin1String(header.isDirectory() ? "dir" : "file"))
                                    .arg(header.size())
                                    .arg(header.name());
    }
    QTEST(seen, "expected");
    if (seen != QLatin1String("invalid") && !header.isEnd())
        QCOMPARE(header.checksum(), record.mid(TarBuilder::Checksum, 6).toUInt(nullptr, 8));
}

void tst_TinyTarHeader::resetBetweenReads()
{
    const QByteArray stream = TarBuilder::header("d", 7, '5') + QByteArray(512, '\0');
    QDataStream in(stream);
    TinyTarHeader header;
    QVERIFY(header.read(in) && header.isDirectory());
    QVERIFY(header.read(in) && header.isEnd());
    QVERIFY(!header.isDirectory() && header.size() == 0 && header.name().isEmpty());
    QVERIFY(!header.read(in)); // nothing left
}

QTEST_GUILESS_MAIN(tst_TinyTarHeader)
#include "tst_tinytarheader.moc"
