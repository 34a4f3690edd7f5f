#ifndef SETTINGS_H
#define SETTINGS_H

#include <QString>

class ConfigFile;

// The settings the supervisor runs with, each with its one default, read once at start from the
// settings files and handed to the parts as plain values. The settings file logs every value as
// it is read; the four groups are read in this order, the order in which the log shows them, and
// the caller applies the log level and binds the command port between them, so that the lines
// those write stand where they always have.
struct Settings
{
    // [CASH] LogLevel: any 64-bit number; the log clamps it to its levels.
    qint64 logLevel = 5;

    // [INTERPROCESS]; a port above 65535 counts as no number and keeps its default.
    QString cashAddress = QStringLiteral("127.0.0.1");
    quint16 cashPort = 55006;
    bool serverFilterAddress = true;
    quint16 localServerPort = 55005;

    // [CASH]
    QString executablePath = QStringLiteral("./vorcam");
    QString workingDirectory = QStringLiteral(".");
    QString programmArguments;

    // [MAINTENANCE]; an empty MaintenanceTime keeps the default time.
    bool disableMaintenance = false;
    QString maintenanceTime = QStringLiteral("04:00");
    QString pythonExePath = QStringLiteral("C:/Python27/python.exe");
    QString scriptPath = QStringLiteral("./scripts");
    QString archiveDir = QStringLiteral("./archive");
    QString controlScript = QStringLiteral("control.py");

    void readLogLevel(ConfigFile &config);
    void readChannel(ConfigFile &config);
    void readCashApplication(ConfigFile &config);
    void readMaintenance(ConfigFile &config);
};

#endif // SETTINGS_H
