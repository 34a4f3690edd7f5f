#include "ipc/ipcchannel.h"
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

QByteArray receive(QUdpSocket &socket, QHostAddress *from = nullptr, quint16 *fromPort = nullptr)
{
    if (!QTest::qWaitFor([&]() { return socket.hasPendingDatagrams(); }, 5000))
        return "(nothing received)";
    QByteArray data(int(socket.pendingDatagramSize()), Qt::Uninitialized);
    socket.readDatagram(data.data(), data.size(), from, fromPort);
    return data;
}

} // namespace

class tst_UDP : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void oneDatagramPerCall();
    void addressFilter_data();
    void addressFilter();
    void replyGoesToSender();
    void sendGoesToPeer_data();
    void sendGoesToPeer();
    void sendFailure_data();
    void sendFailure();
    void rebindMovesToNewPort();
    void emptyDatagram();

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
    Log::setLevel(Log::Debug);

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

void tst_UDP::replyGoesToSender()
{
    // Same address as the peer, another port: accepted, and the reply goes to that port.
    QUdpSocket sender;
    QVERIFY(sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QCOMPARE(sender.writeDatagram("ping", QHostAddress::LocalHost, udp->localPort()), 4);
    QTRY_COMPARE(channel.datagrams.size(), 1);

    QVERIFY(udp->reply("pong"));
    quint16 fromPort = 0;
    QCOMPARE(receive(sender, nullptr, &fromPort), QByteArray("pong"));
    QCOMPARE(fromPort, udp->localPort());
    QVERIFY(!peer.hasPendingDatagrams());
}

void tst_UDP::sendGoesToPeer_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QStringList>("log");
    QTest::newRow("debug threshold")
        << 7 << QStringList(QStringLiteral("DEBG; UDP::send; socket sent UDP to vorcam"));
    QTest::newRow("default threshold") << 5 << QStringList();
}

void tst_UDP::sendGoesToPeer()
{
    QFETCH(int, level);
    QFETCH(QStringList, log);
    Log::setLevel(level);

    QVERIFY(udp->send(QByteArray("\x00\x00\x00\x05", 4)));
    quint16 fromPort = 0;
    QCOMPARE(receive(peer, nullptr, &fromPort), QByteArray("\x00\x00\x00\x05", 4));
    QCOMPARE(fromPort, udp->localPort());
    QCOMPARE(logEntries(logPath()), log);
}

void tst_UDP::sendFailure_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::newRow("address is a host name") << QStringLiteral("till.local") << 55006;
    QTest::newRow("port 0") << QStringLiteral("127.0.0.1") << 0;
}

void tst_UDP::sendFailure()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    udp->setPeerAddress(QHostAddress(address));
    udp->setPeerPort(quint16(port));

    QVERIFY(!udp->send("x"));
    // The line comes before the attempt, whatever its outcome.
    QCOMPARE(logEntries(logPath()),
        QStringList(QStringLiteral("DEBG; UDP::send; socket sent UDP to vorcam")));
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

void tst_UDP::emptyDatagram()
{
    QCOMPARE(peer.writeDatagram(QByteArray(), QHostAddress::LocalHost, udp->localPort()), 0);
    QCOMPARE(peer.writeDatagram("marker", QHostAddress::LocalHost, udp->localPort()), 6);
    QTRY_COMPARE(channel.datagrams, QList<QByteArray>({ QByteArray(), "marker" }));
}

QTEST_GUILESS_MAIN(tst_UDP)
#include "tst_udp.moc"
