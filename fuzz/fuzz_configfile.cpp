// Configuration text: any bytes as config.ini, loaded as the supervisor loads it, then read
// through every getter the supervisor calls.
#include "config/configfile.h"
#include "fuzzsupport.h"

namespace {

struct Setting
{
    const char *section;
    const char *key;
};

const Setting settings[] = {
    { "CASH", "LogLevel" },
    { "CASH", "ExecutablePath" },
    { "CASH", "WorkingDirectory" },
    { "CASH", "ProgrammArguments" },
    { "INTERPROCESS", "CashAddress" },
    { "INTERPROCESS", "CashPort" },
    { "INTERPROCESS", "ServerFilterAddress" },
    { "INTERPROCESS", "LocalServerPort" },
    { "MAINTENANCE", "DisableMaintenance" },
    { "MAINTENANCE", "MaintenanceTime" },
    { "MAINTENANCE", "PythonExePath" },
    { "MAINTENANCE", "ScriptPath" },
    { "MAINTENANCE", "ArchiveDir" },
    { "MAINTENANCE", "ControlScript" },
    { "DEFAULT", "x" },
};

constexpr qint64 intDefault = -777;
constexpr quint64 uintDefault = 777;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString path = scratchDirectory() + QStringLiteral("/config.ini");
    writeScratchFile(path, fuzzBytes(data, size));

    ConfigFile config(QStringLiteral("Windows-1251"));
    // As the supervisor does it (config.ini, then local.ini), here the same file twice: the second
    // load starts in the section the first one ended in.
    if (!config.init(path, false) || !config.init(path, false))
        fuzzFailure("an existing, readable file was not loaded");

    for (const Setting &setting : settings) {
        const QString section = QLatin1String(setting.section);
        const QString key = QLatin1String(setting.key);
        // The typed getters read the same stored text as getString: a number when it parses,
        // the default otherwise.
        const QString text = config.getString(section, key, QString());
        bool isInt = false;
        const qint64 asInt = text.toLongLong(&isInt, 10);
        bool isUInt = false;
        const quint64 asUInt = text.toULongLong(&isUInt, 10);
        if (config.getInt(section, key, intDefault) != (isInt ? asInt : intDefault))
            fuzzFailure("getInt disagrees with getString");
        if (config.getUInt(section, key, uintDefault) != (isUInt ? asUInt : uintDefault))
            fuzzFailure("getUInt disagrees with getString");
        if (config.getBool(section, key, false) != (isInt && asInt != 0))
            fuzzFailure("getBool disagrees with getString");
        // Names match whatever their case.
        if (config.getString(section.toLower(), key.toUpper(), QString()) != text)
            fuzzFailure("a lookup depends on the case of the name");
    }
    return 0;
}
