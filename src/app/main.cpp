#include "app/localcashserver.h"
#include "app/startup.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    prepareProcess();
    // Nothing starts on a directory that an interrupted update left half changed.
    if (!recoverInterruptedUpdate())
        return 0;

    LocalCashServer server;
    server.setAuthArgument(authArgument(QCoreApplication::arguments()));
    if (!server.init({ QStringLiteral("config.ini"), QStringLiteral("local.ini") }))
        return 0;
    server.notifyServiceReady();
    return app.exec();
}
