#include "app/localcashserver.h"
#include "app/startup.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    prepareProcess();

    LocalCashServer server;
    server.setAuthArgument(authArgument(QCoreApplication::arguments()));
    if (!server.init({ QStringLiteral("config.ini"), QStringLiteral("local.ini") }))
        return 0;
    server.notifyServiceReady();
    return app.exec();
}
