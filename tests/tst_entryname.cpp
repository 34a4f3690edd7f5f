#include "update/entryname.h"

#include <QTest>

class tst_EntryName : public QObject
{
    Q_OBJECT

private slots:
    void acceptable_data();
    void acceptable();
};

void tst_EntryName::acceptable_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("asFile");
    QTest::addColumn<bool>("asDirectory");

    const auto row = [](const char *name, bool asFile, bool asDirectory) {
        const QString text = QString::fromUtf8(name);
        QString label = QStringLiteral("'");
        for (const QChar c : text)
            label += c.isPrint()
                ? QString(c)
                : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        QTest::newRow(qPrintable(label + QLatin1Char('\''))) << text << asFile << asDirectory;
    };
    for (const char *name : { "a.txt", "dir/sub/a.dll", "./dir/a.txt", "dir\\a.txt",
             "каталог/файл.txt", ".hidden", "a..b", "console.txt", "COM10", "LPT0" })
        row(name, true, true);
    // Only "." components (the target directory itself), or a name ending like a directory's.
    for (const char *name : { "", "./", ".", "././/", "dir/", "dir/.", "dir\\" })
        row(name, false, true);
    for (const char *name : { "/etc/passwd", "\\x", "\\\\server\\share\\x", "C:/x", "C:x", "..",
             "../x", "a/../../x", "a\\..\\x", "a/..", "a\tb", "a\nb",
             "a\x7f"
             "b",
             "a\xc2\x85" // U+0085, a C1 control
             "b",
             "file.txt:stream", "dir./a", "a.", "...", "dir /a", "CON", "con.txt", "dir/Nul",
             "aux.tar.gz", "com1", "LPT9.log", "COM\xc2\xb9", "CON .txt" })
        row(name, false, false);
}

void tst_EntryName::acceptable()
{
    QFETCH(QString, name);
    QTEST(isAcceptableEntryName(name, false), "asFile");
    QTEST(isAcceptableEntryName(name, true), "asDirectory");
}

QTEST_GUILESS_MAIN(tst_EntryName)
#include "tst_entryname.moc"
