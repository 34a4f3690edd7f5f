// Lines per second of Log::write, for the log benchmark.
//
//   logbench DIR LINES LENGTH
//
// Writes LINES reports at level 5 into DIR/localserver.log, each line LENGTH bytes long with its
// line feed, and prints "lines seconds".
#include "log/log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4)
        return 2;
    const int lines = args.at(2).toInt();
    const int length = args.at(3).toInt();

    Log::setDirectory(args.at(1));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Notice);

    // "dd/MM/yy hh:mm:ss.zzz; NOTE; " is 29 characters, "; " after where 2, the line feed 1.
    const QString where = QStringLiteral("LocalCashServer:LocalCashServer::restartCmd");
    const int fixed = 29 + where.size() + 2 + 1;
    const QString text(qMax(1, length - fixed), QLatin1Char('x'));

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < lines; ++i)
        Log::write(Log::Notice, where, text);
    std::printf("%d %.6f\n", lines, double(timer.nsecsElapsed()) / 1e9);
    return 0;
}
