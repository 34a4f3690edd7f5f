#include "config/configfile.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

// Settings files are written in Windows-1251, like the ones on the tills.
static QByteArray cp1251(const QString &text)
{
    return QTextCodec::codecForName("Windows-1251")->fromUnicode(text);
}

class tst_ConfigFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void parsing_data();
    void parsing();
    void localOverridesConfig();
    void sectionCarriesOverToNextFile();
    void numericGetters_data();
    void numericGetters();
    void missingFile();
    void utf8ByteOrderMark();
    void valuesAreLogged();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    QString logPath() const { return dir->filePath(QStringLiteral("log/localserver.log")); }
    QScopedPointer<QTemporaryDir> dir;
};

void tst_ConfigFile::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    Log::setDirectory(dir->filePath(QStringLiteral("log")));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);
}

void tst_ConfigFile::parsing_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected"); // "<default>" when the getter falls back

    const QString dflt = QStringLiteral("<default>");
    QTest::newRow("plain") << "[CASH]\nLogLevel=3\n"
                           << "CASH"
                           << "LogLevel"
                           << "3";
    QTest::newRow("case-insensitive names") << "[cash]\nloglevel = 3\n"
                                            << "CASH"
                                            << "LogLevel"
                                            << "3";
    QTest::newRow("value keeps its case") << "[CASH]\nPath = C:/Dir\n"
                                          << "cash"
                                          << "PATH"
                                          << "C:/Dir";
    QTest::newRow("comment cut and trimmed") << "[CASH]\nLogLevel = 3 # verbose\n"
                                             << "CASH"
                                             << "LogLevel"
                                             << "3";
    QTest::newRow("hash inside value cuts it") << "[CASH]\nA = x#y\n"
                                               << "CASH"
                                               << "A"
                                               << "x";
    QTest::newRow("semicolon line is a comment") << "[CASH]\n;A = 1\n"
                                                 << "CASH"
                                                 << "A" << dflt;
    QTest::newRow("indented semicolon comment") << "[CASH]\n   ; A = 1\n"
                                                << "CASH"
                                                << "A" << dflt;
    QTest::newRow("semicolon inside value stays") << "[CASH]\nA = 1;2\n"
                                                  << "CASH"
                                                  << "A"
                                                  << "1;2";
    QTest::newRow("first equals splits") << "[CASH]\nA = b=c\n"
                                         << "CASH"
                                         << "A"
                                         << "b=c";
    QTest::newRow("empty value is present") << "[CASH]\nA =\n"
                                            << "CASH"
                                            << "A"
                                            << "";
    QTest::newRow("later line wins") << "[CASH]\nA=1\nA=2\n"
                                     << "CASH"
                                     << "A"
                                     << "2";
    QTest::newRow("header with comment is no header") << "[MAINTENANCE]\n[CASH] # main\nA=1\n"
                                                      << "MAINTENANCE"
                                                      << "A"
                                                      << "1";
    QTest::newRow("header with blank is no header") << "[X]\n[CA SH]\nA=1\n"
                                                    << "X"
                                                    << "A"
                                                    << "1";
    QTest::newRow("header with dot is no header") << "[X]\n[CA.SH]\nA=1\n"
                                                  << "X"
                                                  << "A"
                                                  << "1";
    QTest::newRow("indented header") << "  [CASH]  \nA=1\n"
                                     << "CASH"
                                     << "A"
                                     << "1";
    QTest::newRow("underscore and digits in header") << "[CASH_2]\nA=1\n"
                                                     << "cash_2"
                                                     << "A"
                                                     << "1";
    QTest::newRow("Cyrillic section, any case")
        << QStringLiteral("[Касса]\nКлюч=Значение\n") << QStringLiteral("КАССА")
        << QStringLiteral("ключ") << QStringLiteral("Значение");
    QTest::newRow("keys before any header go to DEFAULT") << "A=1\n"
                                                          << "DEFAULT"
                                                          << "A"
                                                          << "1";
    QTest::newRow("line without equals ignored") << "[CASH]\ngarbage\nA=1\n"
                                                 << "CASH"
                                                 << "A"
                                                 << "1";
    QTest::newRow("CR LF line ends") << "[CASH]\r\nA = 1\r\n"
                                     << "CASH"
                                     << "A"
                                     << "1";
    QTest::newRow("other section") << "[CASH]\nA=1\n"
                                   << "INTERPROCESS"
                                   << "A" << dflt;
}

void tst_ConfigFile::parsing()
{
    QFETCH(QString, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    QVERIFY(writeFile(path(QStringLiteral("config.ini")), cp1251(content)));
    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(config.init(path(QStringLiteral("config.ini")), false));
    QCOMPARE(config.getString(section, key, QStringLiteral("<default>")), expected);
}

void tst_ConfigFile::localOverridesConfig()
{
    QVERIFY(
        writeFile(path(QStringLiteral("config.ini")), "[CASH]\nLogLevel=3\nExecutablePath=./a\n"));
    QVERIFY(writeFile(path(QStringLiteral("local.ini")), "[cash]\nLOGLEVEL=7\n"));
    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(config.init(path(QStringLiteral("config.ini")), false));
    QVERIFY(config.init(path(QStringLiteral("local.ini")), false));
    QCOMPARE(config.getInt(QStringLiteral("CASH"), QStringLiteral("LogLevel"), 5), 7);
    QCOMPARE(config.getString(QStringLiteral("CASH"), QStringLiteral("ExecutablePath"), QString()),
        QStringLiteral("./a"));
}

void tst_ConfigFile::sectionCarriesOverToNextFile()
{
    // Key lines at the top of local.ini belong to the last section opened in config.ini.
    QVERIFY(writeFile(path(QStringLiteral("config.ini")), "[CASH]\nA=1\n[MAINTENANCE]\nB=1\n"));
    QVERIFY(writeFile(path(QStringLiteral("local.ini")), "B=2\n"));
    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(config.init(path(QStringLiteral("config.ini")), false));
    QVERIFY(config.init(path(QStringLiteral("local.ini")), false));
    QCOMPARE(config.getInt(QStringLiteral("MAINTENANCE"), QStringLiteral("B"), 0), 2);
}

void tst_ConfigFile::numericGetters_data()
{
    QTest::addColumn<QString>("value"); // null: key absent
    QTest::addColumn<qint64>("asInt"); // default 5
    QTest::addColumn<quint64>("asUInt"); // default 55005
    QTest::addColumn<quint64>("asPort"); // default 55005, at most 65535
    QTest::addColumn<bool>("asBool"); // default true

    const quint64 dflt = 55005;
    QTest::newRow("absent") << QString() << qint64(5) << dflt << dflt << true;
    QTest::newRow("empty") << QStringLiteral("") << qint64(5) << dflt << dflt << true;
    QTest::newRow("zero") << QStringLiteral("0") << qint64(0) << quint64(0) << quint64(0) << false;
    QTest::newRow("two") << QStringLiteral("2") << qint64(2) << quint64(2) << quint64(2) << true;
    QTest::newRow("minus one") << QStringLiteral("-1") << qint64(-1) << dflt << dflt << true;
    QTest::newRow("word true") << QStringLiteral("true") << qint64(5) << dflt << dflt << true;
    QTest::newRow("word no") << QStringLiteral("no") << qint64(5) << dflt << dflt << true;
    QTest::newRow("hex is no decimal")
        << QStringLiteral("0x10") << qint64(5) << dflt << dflt << true;
    QTest::newRow("trailing junk") << QStringLiteral("12abc") << qint64(5) << dflt << dflt << true;
    QTest::newRow("largest port") << QStringLiteral("65535") << qint64(65535) << quint64(65535)
                                  << quint64(65535) << true;
    QTest::newRow("beyond a port")
        << QStringLiteral("65536") << qint64(65536) << quint64(65536) << dflt << true;
    QTest::newRow("largest unsigned") << QStringLiteral("18446744073709551615") << qint64(5)
                                      << quint64(18446744073709551615ULL) << dflt << true;
}

void tst_ConfigFile::numericGetters()
{
    QFETCH(QString, value);
    QFETCH(qint64, asInt);
    QFETCH(quint64, asUInt);
    QFETCH(quint64, asPort);
    QFETCH(bool, asBool);

    const QByteArray line = value.isNull() ? QByteArray() : "V = " + value.toLatin1() + '\n';
    QVERIFY(writeFile(path(QStringLiteral("config.ini")), "[S]\n" + line));
    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(config.init(path(QStringLiteral("config.ini")), false));
    QCOMPARE(config.getInt(QStringLiteral("S"), QStringLiteral("V"), 5), asInt);
    QCOMPARE(config.getUInt(QStringLiteral("S"), QStringLiteral("V"), 55005), asUInt);
    QCOMPARE(config.getUInt(QStringLiteral("S"), QStringLiteral("V"), 55005, 65535), asPort);
    QCOMPARE(config.getBool(QStringLiteral("S"), QStringLiteral("V"), true), asBool);
}

void tst_ConfigFile::missingFile()
{
    {
        ConfigFile config(QStringLiteral("Windows-1251"));
        QVERIFY(config.init(QStringLiteral("no-such.ini"), false));
    }
    QCOMPARE(logEntries(logPath()),
        QStringList({ QStringLiteral("WARN; INIT:; ======================== initialization "
                                     "process started ========================"),
            QStringLiteral("WARN; INIT:ConfigFile::init; Конфигурационный файл "
                           "'no-such.ini' не найден."),
            QStringLiteral("WARN; INIT:; ======================== initialization "
                           "process finished =======================") }));
}

void tst_ConfigFile::utf8ByteOrderMark()
{
    // Editors that save UTF-8 with a byte-order mark must not break the first header.
    QVERIFY(writeFile(path(QStringLiteral("config.ini")),
        "\xEF\xBB\xBF[CASH]\nName=" + QStringLiteral("Касса").toUtf8() + '\n'));
    ConfigFile config(QStringLiteral("Windows-1251"));
    QVERIFY(config.init(path(QStringLiteral("config.ini")), false));
    QCOMPARE(config.getString(QStringLiteral("CASH"), QStringLiteral("Name"), QString()),
        QStringLiteral("Касса"));
}

void tst_ConfigFile::valuesAreLogged()
{
    QVERIFY(writeFile(path(QStringLiteral("config.ini")),
        cp1251(QStringLiteral("[CASH]\nLogLevel=x\nPath=Касса\n"))));
    {
        ConfigFile config(QStringLiteral("Windows-1251"));
        QVERIFY(config.init(path(QStringLiteral("config.ini")), false));
        config.getInt(QStringLiteral("CASH"), QStringLiteral("LogLevel"), 5);
        config.getString(QStringLiteral("cash"), QStringLiteral("path"), QString());
        config.getBool(QStringLiteral("MAINTENANCE"), QStringLiteral("DisableMaintenance"), false);
        config.getUInt(QStringLiteral("INTERPROCESS"), QStringLiteral("CashPort"), 55006);
    }
    const QStringList entries = logEntries(logPath());
    QCOMPARE(entries.mid(2, 4),
        QStringList({ QStringLiteral("WARN; INIT:CASH; LogLevel = 5"),
            QStringLiteral("WARN; INIT:cash; path = Касса"),
            QStringLiteral("WARN; INIT:MAINTENANCE; DisableMaintenance = 0"),
            QStringLiteral("WARN; INIT:INTERPROCESS; CashPort = 55006") }));
    QVERIFY(entries.last().endsWith(QStringLiteral("process finished =======================")));
}

QTEST_GUILESS_MAIN(tst_ConfigFile)
#include "tst_configfile.moc"
