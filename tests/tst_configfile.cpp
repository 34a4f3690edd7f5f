#include "app/settings.h"
#include "config/configfile.h"
#include "testutil.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

class tst_ConfigFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void parsing_data();
    void parsing();
    void numericGetters_data();
    void numericGetters();
    void refusedFile_data();
    void refusedFile();
    void supervisorSettings_data();
    void supervisorSettings();
    void valuesAreLogged();

private:
    // Loads config.ini with this content, then local.ini when there is one.
    bool load(
        ConfigFile &config, const QByteArray &content, const QByteArray &local = QByteArray());

    QScopedPointer<QTemporaryDir> dir;
    QString logPath;
};

void tst_ConfigFile::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    logPath = useTestLog(dir->filePath(QStringLiteral("log")));
}

bool tst_ConfigFile::load(ConfigFile &config, const QByteArray &content, const QByteArray &local)
{
    const QString path = dir->filePath(QStringLiteral("config.ini"));
    const QString localPath = dir->filePath(QStringLiteral("local.ini"));
    return writeFile(path, content) && config.init(path, false)
        && (local.isNull() || (writeFile(localPath, local) && config.init(localPath, false)));
}

void tst_ConfigFile::parsing_data()
{
    QTest::addColumn<QByteArray>("content"); // of config.ini
    QTest::addColumn<QByteArray>("local"); // of local.ini; null: none
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected"); // "<default>" when the getter falls back

    const auto row = [](const char *name, const QByteArray &content, const char *section,
                         const char *key, const QString &expected, const char *local = nullptr) {
        QTest::newRow(name) << content << QByteArray(local) << QString::fromUtf8(section)
                            << QString::fromUtf8(key) << expected;
    };
    const QString dflt = QStringLiteral("<default>");
    row("plain", "[CASH]\nLogLevel=3\n", "CASH", "LogLevel", "3");
    row("case-insensitive names", "[cash]\nloglevel = 3\n", "CASH", "LogLevel", "3");
    row("value keeps its case", "[CASH]\nPath = C:/Dir\n", "cash", "PATH", "C:/Dir");
    row("comment cut and trimmed", "[CASH]\nLogLevel = 3 # verbose\n", "CASH", "LogLevel", "3");
    row("hash inside value cuts it", "[CASH]\nA = x#y\n", "CASH", "A", "x");
    row("semicolon line is a comment", "[CASH]\n;A = 1\n", "CASH", "A", dflt);
    row("indented semicolon comment", "[CASH]\n   ; A = 1\n", "CASH", "A", dflt);
    row("semicolon inside value stays", "[CASH]\nA = 1;2\n", "CASH", "A", "1;2");
    row("first equals splits", "[CASH]\nA = b=c\n", "CASH", "A", "b=c");
    row("empty value is present", "[CASH]\nA =\n", "CASH", "A", "");
    row("later line wins", "[CASH]\nA=1\nA=2\n", "CASH", "A", "2");
    row("header with comment is no header", "[M]\n[CASH] # main\nA=1\n", "M", "A", "1");
    row("header with blank is no header", "[X]\n[CA SH]\nA=1\n", "X", "A", "1");
    row("header with dot is no header", "[X]\n[CA.SH]\nA=1\n", "X", "A", "1");
    row("indented header", "  [CASH]  \nA=1\n", "CASH", "A", "1");
    row("underscore and digits in header", "[CASH_2]\nA=1\n", "cash_2", "A", "1");
    // Settings files are Windows-1251, like the ones on the tills, unless they say otherwise.
    row("Cyrillic section, any case",
        QTextCodec::codecForName("Windows-1251")->fromUnicode(QStringLiteral("[Касса]\nКлюч=Да\n")),
        "КАССА", "ключ", QStringLiteral("Да"));
    row("UTF-8 with a byte-order mark", "\xEF\xBB\xBF[CASH]\nName=Касса\n", "CASH", "Name",
        QStringLiteral("Касса"));
    row("keys before any header go to DEFAULT", "A=1\n", "DEFAULT", "A", "1");
    row("line without equals ignored", "[CASH]\ngarbage\nA=1\n", "CASH", "A", "1");
    row("CR LF line ends", "[CASH]\r\nA = 1\r\n", "CASH", "A", "1");
    row("other section", "[CASH]\nA=1\n", "INTERPROCESS", "A", dflt);
    row("local.ini overrides", "[CASH]\nA=3\n", "CASH", "A", "7", "[cash]\na=7\n");
    row("local.ini leaves the rest", "[CASH]\nA=3\nB=./a\n", "CASH", "B", "./a", "[CASH]\nA=7\n");
    // Key lines at the top of local.ini belong to the last section opened in config.ini.
    row("section carries over", "[CASH]\nA=1\n[M]\nB=1\n", "M", "B", "2", "B=2\n");
}

void tst_ConfigFile::parsing()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, local);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(load(config, content, local));
    QCOMPARE(config.getString(section, key, QStringLiteral("<default>")), expected);
}

void tst_ConfigFile::numericGetters_data()
{
    QTest::addColumn<QString>("value"); // null: key absent
    QTest::addColumn<qint64>("asInt"); // default 5
    QTest::addColumn<quint64>("asUInt"); // default 55005
    QTest::addColumn<quint64>("asPort"); // default 55005, at most 65535
    QTest::addColumn<bool>("asBool"); // default true

    const auto row = [](const char *name, const char *value, qint64 asInt, quint64 asUInt,
                         quint64 asPort, bool asBool) {
        QTest::newRow(name) << QString::fromLatin1(value) << asInt << asUInt << asPort << asBool;
    };
    const quint64 dflt = 55005;
    row("absent", nullptr, 5, dflt, dflt, true);
    row("empty", "", 5, dflt, dflt, true);
    row("zero", "0", 0, 0, 0, false);
    row("two", "2", 2, 2, 2, true);
    row("minus one", "-1", -1, dflt, dflt, true);
    row("word true", "true", 5, dflt, dflt, true);
    row("word no", "no", 5, dflt, dflt, true);
    row("hex is no decimal", "0x10", 5, dflt, dflt, true);
    row("trailing junk", "12abc", 5, dflt, dflt, true);
    row("largest port", "65535", 65535, 65535, 65535, true);
    row("beyond a port", "65536", 65536, 65536, dflt, true);
    row("beyond 32 bits", "4294967297", 4294967297LL, 4294967297ULL, dflt, true);
    row("largest unsigned", "18446744073709551615", 5, 18446744073709551615ULL, dflt, true);
}

void tst_ConfigFile::numericGetters()
{
    QFETCH(QString, value);
    QFETCH(qint64, asInt);
    QFETCH(quint64, asUInt);
    QFETCH(quint64, asPort);
    QFETCH(bool, asBool);

    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(load(config, value.isNull() ? "[S]\n" : "[S]\nV = " + value.toLatin1() + '\n'));
    QCOMPARE(config.getInt(QStringLiteral("S"), QStringLiteral("V"), 5), asInt);
    QCOMPARE(config.getUInt(QStringLiteral("S"), QStringLiteral("V"), 55005), asUInt);
    QCOMPARE(config.getUInt(QStringLiteral("S"), QStringLiteral("V"), 55005, 65535), asPort);
    QCOMPARE(config.getBool(QStringLiteral("S"), QStringLiteral("V"), true), asBool);
}

void tst_ConfigFile::refusedFile_data()
{
    QTest::addColumn<int>("size"); // of local.ini; 0: a directory of that name
    QTest::addColumn<QString>("line"); // after the one that loads it; "*" at the end: any rest
    QTest::addColumn<QString>("value"); // of the key both files set

    const QString error = QStringLiteral("ERRR; INIT:ConfigFile::init; ");
    // A directory cannot be opened by anyone, root included (a mode of 000 would stop nobody);
    // the file before it still applies.
    QTest::newRow("a directory") << 0 << error + "Не удалось открыть файл '{local}': (5) *"
                                 << "config";
    // Above 1 MiB nothing of it is used, not even its first line.
    QTest::newRow("1 MiB and a byte")
        << (1 << 20) + 1
        << error + "Конфигурационный файл '{local}' больше 1048576 байт и не загружен."
        << "config";
    QTest::newRow("1 MiB") << (1 << 20) << QStringLiteral("WARN; INIT:CASH; A = local") << "local";
}

void tst_ConfigFile::refusedFile()
{
    QFETCH(int, size);
    QFETCH(QString, line);
    QFETCH(QString, value);

    const QString local = dir->filePath(QStringLiteral("local.ini"));
    const QByteArray text = "[CASH]\nA=local\n";
    QVERIFY(
        size ? writeFile(local, text + QByteArray(size - text.size(), '#')) : QDir().mkpath(local));
    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(load(config, "[CASH]\nA=config\n"));
    QCOMPARE(config.init(local, false), value == QLatin1String("local"));
    QCOMPARE(config.getString(QStringLiteral("CASH"), QStringLiteral("A"), QString()), value);
    const QString logged = logEntries(logPath).value(3);
    line.replace(QLatin1String("{local}"), local);
    QVERIFY2(line.endsWith(QLatin1Char('*')) ? logged.startsWith(line.chopped(1)) : logged == line,
        qPrintable(logged));
}

void tst_ConfigFile::supervisorSettings_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("logLevel");
    QTest::addColumn<int>("cashPort");
    QTest::addColumn<QString>("maintenanceTime");

    QTest::newRow("defaults") << QByteArray() << qint64(5) << 55006 << "04:00";
    // No number wraps around into another (2^32 + 1 was level 1); a port beyond 16 bits is no
    // port and keeps its default, as any non-number does.
    QTest::newRow("numbers out of range")
        << QByteArray("[CASH]\nLogLevel=4294967297\n[INTERPROCESS]\nCashPort=65536\n")
        << qint64(4294967297LL) << 55006 << "04:00";
    QTest::newRow("level below -2^32") << QByteArray("[CASH]\nLogLevel=-4294967295\n")
                                       << qint64(-4294967295LL) << 55006 << "04:00";
    QTest::newRow("empty maintenance time keeps the default")
        << QByteArray("[MAINTENANCE]\nMaintenanceTime=\n") << qint64(5) << 55006 << "04:00";
    QTest::newRow("set") << QByteArray(
        "[MAINTENANCE]\nMaintenanceTime=23:15\n[INTERPROCESS]\nCashPort=7\n")
                         << qint64(5) << 7 << "23:15";
}

void tst_ConfigFile::supervisorSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, logLevel);
    QFETCH(int, cashPort);
    QFETCH(QString, maintenanceTime);

    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(load(config, content));
    Settings settings;
    settings.readLogLevel(config);
    settings.readChannel(config);
    settings.readMaintenance(config);
    QCOMPARE(settings.logLevel, logLevel);
    QCOMPARE(int(settings.cashPort), cashPort);
    QCOMPARE(settings.maintenanceTime, maintenanceTime);
}

void tst_ConfigFile::valuesAreLogged()
{
    // Between the banners of the object's life: each file, and each value as the getters give it.
    {
        ConfigFile config(QStringLiteral("Windows-1251"));
        QVERIFY(config.init(QStringLiteral("no-such.ini"), false));
        QVERIFY(load(config,
            QTextCodec::codecForName("Windows-1251")
                ->fromUnicode(QStringLiteral("[CASH]\nLogLevel=x\nPath=Касса\n"))));
        config.getInt(QStringLiteral("CASH"), QStringLiteral("LogLevel"), 5);
        config.getString(QStringLiteral("cash"), QStringLiteral("path"), QString());
        config.getBool(QStringLiteral("MAINTENANCE"), QStringLiteral("DisableMaintenance"), false);
        config.getUInt(QStringLiteral("INTERPROCESS"), QStringLiteral("CashPort"), 55006);
    }
    const QString banner = QStringLiteral("WARN; INIT:; ======================== initialization "
                                          "process %1 ========================");
    QCOMPARE(logEntries(logPath),
        QStringList({ banner.arg(QStringLiteral("started")),
            QStringLiteral("WARN; INIT:ConfigFile::init; Конфигурационный файл 'no-such.ini' "
                           "не найден."),
            QStringLiteral("INFO; INIT:ConfigFile::init; Загрузка конфигурационного файла '%1'.")
                .arg(dir->filePath(QStringLiteral("config.ini"))),
            QStringLiteral("WARN; INIT:CASH; LogLevel = 5"),
            QStringLiteral("WARN; INIT:cash; path = Касса"),
            QStringLiteral("WARN; INIT:MAINTENANCE; DisableMaintenance = 0"),
            QStringLiteral("WARN; INIT:INTERPROCESS; CashPort = 55006"),
            banner.arg(QStringLiteral("finished")).chopped(1) }));
}

QTEST_GUILESS_MAIN(tst_ConfigFile)
#include "tst_configfile.moc"
