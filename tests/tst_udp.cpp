#include "ipc/ipcchannel.h"
#include "ipc/sendercheck.h"
#include "ipc/udp.h"
#include "log/log.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace {

class RecordingChannel : public IpcChannel
{
public:
    bool processData(const QByteArray &datagram) override
    {
        datagrams.append(datagram);
        return true;
    }
    QList<QByteArray> datagrams;
};

const QHostAddress otherLoopback(QStringLiteral("127.0.0.2"));

} // namespace

class tst_UDP : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void oneDatagramPerCall();
    void addressFilter_data();
    void addressFilter();
    void senderMustHoldItsPort_data();
    void senderMustHoldItsPort();
    void rebindMovesToNewPort();

private:
    bool bindLocal(UDP &udp);
    QString logPath() const { return dir->filePath(QStringLiteral("localserver.log")); }

    QScopedPointer<QTemporaryDir> dir;
    RecordingChannel channel;
    QScopedPointer<UDP> udp;
    QUdpSocket peer; // at 127.0.0.1, the configured peer address
};

bool tst_UDP::bindLocal(UDP &endpoint)
{
    return endpoint.bind(QHostAddress(QHostAddress::AnyIPv4), 0,
        QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
}

void tst_UDP::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    Log::setDirectory(dir->path());
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Notice);
    channel.datagrams.clear();
    udp.reset(new UDP(&channel));
    QVERIFY(bindLocal(*udp));
    peer.close();
    QVERIFY(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
    udp->setPeerAddress(QHostAddress::LocalHost);
    udp->setPeerPort(peer.localPort());
}

void tst_UDP::oneDatagramPerCall()
{
    QCOMPARE(peer.writeDatagram("first", QHostAddress::LocalHost, udp->localPort()), 5);
    QCOMPARE(peer.writeDatagram("second", QHostAddress::LocalHost, udp->localPort()), 6);

    udp->processRead();
    QCOMPARE(channel.datagrams, QList<QByteArray>({ "first" }));
    udp->processRead();
    QCOMPARE(channel.datagrams, QList<QByteArray>({ "first", "second" }));
    udp->processRead();
    QCoreApplication::processEvents();
    QCOMPARE(channel.datagrams, QList<QByteArray>({ "first", "second" }));
}

void tst_UDP::addressFilter_data()
{
    QTest::addColumn<bool>("filter");
    QTest::addColumn<bool>("fromOtherAddress");
    QTest::addColumn<bool>("delivered");

    QTest::newRow("filter on, peer address") << true << false << true;
    QTest::newRow("filter on, other address dropped") << true << true << false;
    QTest::newRow("filter off, peer address") << false << false << true;
    QTest::newRow("filter off, other address") << false << true << true;
}

void tst_UDP::addressFilter()
{
#ifdef Q_OS_WIN
    QSKIP("needs 127.0.0.2 as a second sender address, which Linux routes to the loopback device "
          "and Wine does not keep apart");
#endif
    QFETCH(bool, filter);
    QFETCH(bool, fromOtherAddress);
    QFETCH(bool, delivered);

    QUdpSocket other;
    QVERIFY2(other.bind(otherLoopback, 0), qPrintable(other.errorString()));
    QUdpSocket &sender = fromOtherAddress ? other : peer;
    udp->setAddressFilter(filter);

    QCOMPARE(sender.writeDatagram("probe", QHostAddress::LocalHost, udp->localPort()), 5);
    // The peer's marker comes after the probe, so once it is in, the probe has been judged.
    QCOMPARE(peer.writeDatagram("marker", QHostAddress::LocalHost, udp->localPort()), 6);
    QTRY_VERIFY(channel.datagrams.contains("marker"));
    const QList<QByteArray> expected =
        delivered ? QList<QByteArray>({ "probe", "marker" }) : QList<QByteArray>({ "marker" });
    QCOMPARE(channel.datagrams, expected);
}

void tst_UDP::senderMustHoldItsPort_data()
{
    QTest::addColumn<int>("senders");
    QTest::addColumn<bool>("closedBeforeRead");
    QTest::addColumn<int>("lines");

    // Senders of another user are refused end to end, where a test can be another user.
    QTest::newRow("socket of this process") << 1 << false << 0;
    QTest::newRow("socket closed before the read") << 1 << true << 1;
    QTest::newRow("a burst writes a bounded number of lines")
        << 3 * SenderCheck::linesPerMinute << true << SenderCheck::linesPerMinute;
}

void tst_UDP::senderMustHoldItsPort()
{
    QFETCH(int, senders);
    QFETCH(bool, closedBeforeRead);
    QFETCH(int, lines);

    QStringList expected;
    for (int i = 0; i < senders; ++i) {
        QUdpSocket sender;
        QVERIFY(sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QCOMPARE(sender.writeDatagram("probe", QHostAddress::LocalHost, udp->localPort()), 5);
        if (!closedBeforeRead)
            QTRY_COMPARE(channel.datagrams, QList<QByteArray>({ "probe" }));
        if (i < lines) {
            expected << QStringLiteral("WARN; UDP::processRead; Datagram from 127.0.0.1:%1 "
                                       "dropped: no socket holds the port any more")
                            .arg(sender.localPort());
        }
    }
    // The peer's marker comes after the probes, so once it is in, they have all been judged.
    QCOMPARE(peer.writeDatagram("marker", QHostAddress::LocalHost, udp->localPort()), 6);
    QTRY_VERIFY(channel.datagrams.contains("marker"));
    QCOMPARE(channel.datagrams.size(), closedBeforeRead ? 1 : senders + 1);
    QCOMPARE(logEntries(logPath()), expected);
}

void tst_UDP::rebindMovesToNewPort()
{
    const quint16 oldPort = udp->localPort();
    QVERIFY(bindLocal(*udp));
    QVERIFY(udp->localPort() != oldPort);

    QCOMPARE(peer.writeDatagram("old", QHostAddress::LocalHost, oldPort), 3);
    QCOMPARE(peer.writeDatagram("new", QHostAddress::LocalHost, udp->localPort()), 3);
    QTRY_COMPARE(channel.datagrams, QList<QByteArray>({ "new" }));
}

QTEST_GUILESS_MAIN(tst_UDP)
#include "tst_udp.moc"
