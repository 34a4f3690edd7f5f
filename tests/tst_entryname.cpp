#include "links.h"
#include "update/entryname.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_EntryName : public QObject
{
    Q_OBJECT

private slots:
    void acceptable_data();
    void acceptable();
    void links_data();
    void links();
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
    for (const char *name : { "a.txt", "dir/sub/a.dll", "./dir/a.txt", "dir/", "dir\\a.txt",
             "каталог/файл.txt", ".hidden", "a..b", "console.txt", "COM10", "LPT0" })
        row(name, true, true);
    // Only "." components: the target directory itself, which is no file name.
    for (const char *name : { "", "./", ".", "././/" })
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

void tst_EntryName::links_data()
{
    QTest::addColumn<QString>("link"); // made below root, pointing at linkTarget
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary directory
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("within");

    QTest::newRow("no links") << QString() << QString() << "a/b/c.txt" << true;
    QTest::newRow("link inside") << "l"
                                 << "root/a"
                                 << "l/b/c.txt" << true;
    QTest::newRow("link to outside") << "l"
                                     << "outside"
                                     << "l/c.txt" << false;
    QTest::newRow("link to outside, name with dots") << "l"
                                                     << "outside"
                                                     << "./l//c.txt" << false;
    QTest::newRow("deeper link to outside") << "a/l"
                                            << "outside"
                                            << "a/l/new/c.txt" << false;
    QTest::newRow("file link to outside") << "a/f"
                                          << "outside/f"
                                          << "a/f" << false;
    QTest::newRow("dangling link to outside") << "a/f"
                                              << "outside/new"
                                              << "a/f" << false;
    QTest::newRow("dangling link inside") << "a/f"
                                          << "root/a/new"
                                          << "a/f" << true;
    QTest::newRow("sibling sharing the prefix") << "l"
                                                << "root-x"
                                                << "l/c.txt" << false;
    QTest::newRow("link to the root") << "l"
                                      << "root"
                                      << "l/c.txt" << true;
    QTest::newRow("link loop") << "a/f"
                               << "root/a/f"
                               << "a/f" << false;
    QTest::newRow("link not on the path") << "l"
                                          << "outside"
                                          << "a/c.txt" << true;
}

void tst_EntryName::links()
{
    QFETCH(QString, link);
    QFETCH(QString, linkTarget);
    QFETCH(QString, name);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QDir base(dir.path());
    for (const char *path : { "root/a/b", "outside", "root-x" })
        QVERIFY(base.mkpath(QLatin1String(path)));
    QFile outsideFile(base.filePath(QStringLiteral("outside/f")));
    QVERIFY(outsideFile.open(QIODevice::WriteOnly));
    outsideFile.close();
    QString why;
    if (!link.isEmpty()
        && !makeLink(
            base.filePath(linkTarget), base.filePath(QStringLiteral("root/") + link), &why)) {
        QSKIP(qPrintable(QStringLiteral("no link can be made here: ") + why));
    }

    QTEST(staysWithinTree(base.filePath(QStringLiteral("root")), name), "within");
}

QTEST_GUILESS_MAIN(tst_EntryName)
#include "tst_entryname.moc"
