#include "tarbuilder.h"
#include "update/tinytarheader.h"

#include <QDataStream>
#include <QTest>

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
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<bool>("isDirectory");
    QTest::addColumn<bool>("isEnd");

    const auto with = [](TarBuilder::Field field, const QByteArray &bytes) {
        QByteArray record = TarBuilder::header("f.txt", 1000);
        TarBuilder::setField(record, field, bytes);
        return record;
    };
    const QString f = QStringLiteral("f.txt");

    QTest::newRow("plain file") << TarBuilder::header("dir/f.txt", 5) << true
                                << QStringLiteral("dir/f.txt") << quint64(5) << false << false;
    QTest::newRow("end record") << QByteArray(512, '\0') << true << QString() << quint64(0) << false
                                << true;
    QTest::newRow("short record") << TarBuilder::header("f.txt", 5).left(511) << false << QString()
                                  << quint64(0) << false << false;

    // The mode field right after the name starts with digits that must not join the name.
    const QByteArray hundred = QByteArray(96, 'n') + ".txt";
    QTest::newRow("100-byte name without NUL") << TarBuilder::header(hundred, 0) << true
                                               << QString::fromLatin1(hundred) << quint64(0)
                                               << false << false;
    QTest::newRow("prefix never joined") << with(TarBuilder::Prefix, "a/b") << true << f
                                         << quint64(1000) << false << false;
    QTest::newRow("UTF-8 name, unsigned checksum")
            << TarBuilder::header("каталог/файл.txt", 0) << true
            << QStringLiteral("каталог/файл.txt") << quint64(0) << false << false;
    QByteArray signedSum = TarBuilder::header("каталог/файл.txt", 0);
    TarBuilder::storeChecksum(signedSum, true);
    QTest::newRow("signed-byte checksum") << signedSum << false << QString() << quint64(0) << false
                                          << false;
    QByteArray wrongSum = TarBuilder::header("f.txt", 0);
    wrongSum[0] = 'g';
    QTest::newRow("wrong checksum") << wrongSum << false << QString() << quint64(0) << false
                                    << false;

    QTest::newRow("size with NUL") << with(TarBuilder::Size, QByteArray("00000001750\0", 12)) << true
                                   << f << quint64(1000) << false << false;
    QTest::newRow("size between blanks and NULs")
            << with(TarBuilder::Size, QByteArray("  1750 \0\0\0\0\0", 12)) << true << f
            << quint64(1000) << false << false;
    QTest::newRow("size of 12 digits") << with(TarBuilder::Size, "777777777777") << true << f
                                       << quint64(68719476735) << false << false;
    QTest::newRow("size of NULs") << with(TarBuilder::Size, QByteArray(12, '\0')) << false
                                  << QString() << quint64(0) << false << false;
    QTest::newRow("blank inside size") << with(TarBuilder::Size, QByteArray("0000 001750\0", 12))
                                       << false << QString() << quint64(0) << false << false;
    QTest::newRow("base-256 size not recognised")
            << with(TarBuilder::Size, QByteArray("\x80\0\0\0\0\0\0\0\0\0\0\1", 12)) << false
            << QString() << quint64(0) << false << false;
    QTest::newRow("mtime without digits") << with(TarBuilder::Mtime, QByteArray("abc \0\0\0\0\0\0\0\0", 12))
                                          << false << QString() << quint64(0) << false << false;
    QTest::newRow("mtime digits then letters") << with(TarBuilder::Mtime, "14536615xyz")
                                               << true << f << quint64(1000) << false << false;

    QTest::newRow("type NUL") << with(TarBuilder::Type, QByteArray(1, '\0')) << true << f
                              << quint64(1000) << false << false;
    QTest::newRow("symbolic link") << TarBuilder::header("l", 0, '2') << true << QStringLiteral("l")
                                   << quint64(0) << false << false;
    QTest::newRow("pax header") << TarBuilder::header("././@PaxHeader", 30, 'x') << true
                                << QStringLiteral("././@PaxHeader") << quint64(30) << false << false;
    QTest::newRow("directory with size") << with(TarBuilder::Type, "5") << true << f
                                         << quint64(1000) << true << false;
}

void tst_TinyTarHeader::read()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, valid);

    QDataStream in(record);
    TinyTarHeader header;
    QCOMPARE(header.read(in), valid);
    if (!valid)
        return;
    QTEST(header.name(), "name");
    QTEST(header.size(), "size");
    QTEST(header.isDirectory(), "isDirectory");
    QTEST(header.isEnd(), "isEnd");
    if (!header.isEnd()) {
        // The stored checksum is what the record says, octal.
        bool ok = false;
        QCOMPARE(header.checksum(), record.mid(148, 6).toUInt(&ok, 8));
        QVERIFY(ok);
    }
}

void tst_TinyTarHeader::resetBetweenReads()
{
    const QByteArray stream = TarBuilder::header("d", 7, '5') + QByteArray(512, '\0');
    QDataStream in(stream);
    TinyTarHeader header;
    QVERIFY(header.read(in));
    QVERIFY(header.isDirectory());
    QVERIFY(header.read(in));
    QVERIFY(header.isEnd());
    QVERIFY(!header.isDirectory());
    QCOMPARE(header.size(), quint64(0));
    QVERIFY(header.name().isEmpty());
    QVERIFY(!header.read(in)); // nothing left
}

QTEST_GUILESS_MAIN(tst_TinyTarHeader)
#include "tst_tinytarheader.moc"
