// Installs one update package with TinyTarUnpacker, as the supervisor does after an update
// command, for the installation benchmark.
//
//   installbench PACKAGE TARGET [BACKUP] [--log DIR] [--level N]
//
// The log goes to DIR/localserver.log (default: no log) at threshold N (default 5, the
// supervisor's default LogLevel). Exit status 0 when unpack() returned true.
#include "log/log.h"
#include "update/tinytarunpacker.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    QString logDirectory;
    int level = Log::Notice;
    for (int i = 0; i + 1 < args.size();) {
        if (args.at(i) == QLatin1String("--log")) {
            logDirectory = args.at(i + 1);
            args.removeAt(i);
            args.removeAt(i);
        } else if (args.at(i) == QLatin1String("--level")) {
            level = args.at(i + 1).toInt();
            args.removeAt(i);
            args.removeAt(i);
        } else {
            ++i;
        }
    }
    if (args.size() < 2 || args.size() > 3)
        return 2;
    if (!logDirectory.isEmpty()) {
        Log::setDirectory(logDirectory);
        Log::setBaseName(QStringLiteral("localserver"));
        Log::setLevel(level);
    }
    TinyTarUnpacker unpacker(args.at(0), args.at(1), args.value(2));
    return unpacker.unpack() ? 0 : 1;
}
