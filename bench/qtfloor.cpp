// The memory floor of an idle Qt program with what the supervisor needs: an event loop, a bound
// UDP socket, the Windows-1251 codec and a one-minute timer. Runs until it is killed.
#include <QCoreApplication>
#include <QTextCodec>
#include <QHostAddress>
#include <QTimer>
#include <QUdpSocket>
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        return 1;
    QTextCodec *codec = QTextCodec::codecForName("Windows-1251");
    if (!codec || codec->fromUnicode(QStringLiteral("x")).isEmpty())
        return 1;
    QTimer timer;
    timer.start(60000);
    return app.exec();
}
