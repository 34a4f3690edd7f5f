#include "settings.h"

#include "config/configfile.h"

#include <limits>

namespace {
const QString sectionCash = QStringLiteral("CASH");
const QString sectionInterprocess = QStringLiteral("INTERPROCESS");
const QString sectionMaintenance = QStringLiteral("MAINTENANCE");

quint16 readPort(ConfigFile &config, const QString &key, quint16 defaultValue)
{
    return quint16(config.getUInt(
        sectionInterprocess, key, defaultValue, std::numeric_limits<quint16>::max()));
}
} // namespace

void Settings::readLogLevel(ConfigFile &config)
{
    logLevel = config.getInt(sectionCash, QStringLiteral("LogLevel"), logLevel);
}

void Settings::readChannel(ConfigFile &config)
{
    cashAddress = config.getString(sectionInterprocess, QStringLiteral("CashAddress"), cashAddress);
    cashPort = readPort(config, QStringLiteral("CashPort"), cashPort);
    serverFilterAddress = config.getBool(
        sectionInterprocess, QStringLiteral("ServerFilterAddress"), serverFilterAddress);
    localServerPort = readPort(config, QStringLiteral("LocalServerPort"), localServerPort);
}

void Settings::readCashApplication(ConfigFile &config)
{
    executablePath =
        config.getString(sectionCash, QStringLiteral("ExecutablePath"), executablePath);
    workingDirectory =
        config.getString(sectionCash, QStringLiteral("WorkingDirectory"), workingDirectory);
    programmArguments =
        config.getString(sectionCash, QStringLiteral("ProgrammArguments"), programmArguments);
}

void Settings::readMaintenance(ConfigFile &config)
{
    disableMaintenance = config.getBool(
        sectionMaintenance, QStringLiteral("DisableMaintenance"), disableMaintenance);
    const QString time =
        config.getString(sectionMaintenance, QStringLiteral("MaintenanceTime"), maintenanceTime);
    if (!time.isEmpty())
        maintenanceTime = time;
    pythonExePath =
        config.getString(sectionMaintenance, QStringLiteral("PythonExePath"), pythonExePath);
    scriptPath = config.getString(sectionMaintenance, QStringLiteral("ScriptPath"), scriptPath);
    archiveDir = config.getString(sectionMaintenance, QStringLiteral("ArchiveDir"), archiveDir);
    controlScript =
        config.getString(sectionMaintenance, QStringLiteral("ControlScript"), controlScript);
}
