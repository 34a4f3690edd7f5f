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
            label += c.isPrint() ? QString(c) : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        QTest::newRow(qPrintable(label + QLatin1Char('\''))) << text << asFile << asDirectory;
    };
    row("a.txt", true, true);
    row("dir/sub/a.dll", true, true);
    row("./dir/a.txt", true, true);
    row("dir/", true, true);
    row("dir\\a.txt", true, true);
    row("каталог/файл.txt", true, true);
    row(".hidden", true, true);
    row("a..b", true, true);
    row("console.txt", true, true);
    row("COM10", true, true);
    row("LPT0", true, true);
    row("", false, true);
    row("./", false, true);
    row(".", false, true);
    row("././/", false, true);

    row("/etc/passwd", false, false);
    row("\\x", false, false);
    row("\\\\server\\share\\x", false, false);
    row("C:/x", false, false);
    row("C:x", false, false);
    row("c:\\x", false, false);
    row("..", false, false);
    row("../x", false, false);
    row("a/../../x", false, false);
    row("a\\..\\x", false, false);
    row("a/..", false, false);
    row("a\tb", false, false);
    row("a\nb", false, false);
    row("a\x7f" "b", false, false);
    row("a\xc2\x85" "b", false, false); // U+0085, a C1 control
    row("file.txt:stream", false, false);
    row("dir./a", false, false);
    row("a.", false, false);
    row("...", false, false);
    row("dir /a", false, false);
    row("CON", false, false);
    row("con.txt", false, false);
    row("dir/Nul", false, false);
    row("aux.tar.gz", false, false);
    row("PRN", false, false);
    row("com1", false, false);
    row("LPT9.log", false, false);
    row("COM\xc2\xb9", false, false);
    row("CON .txt", false, false);
}

void tst_EntryName::acceptable()
{
    QFETCH(QString, name);
    QTEST(isAcceptableEntryName(name, false), "asFile");
    QTEST(isAcceptableEntryName(name, true), "asDirectory");
}

void tst_EntryName::links_data()
{
    QTest::addColumn<QString>("link");   // made below root, pointing at linkTarget
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary directory
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("within");

    QTest::newRow("no links") << QString() << QString() << "a/b/c.txt" << true;
    QTest::newRow("link inside") << "l" << "root/a" << "l/b/c.txt" << true;
    QTest::newRow("link to outside") << "l" << "outside" << "l/c.txt" << false;
    QTest::newRow("link to outside, name with dots") << "l" << "outside" << "./l//c.txt" << false;
    QTest::newRow("deeper link to outside") << "a/l" << "outside" << "a/l/new/c.txt" << false;
    QTest::newRow("file link to outside") << "a/f" << "outside/f" << "a/f" << false;
    QTest::newRow("dangling link to outside") << "a/f" << "outside/new" << "a/f" << false;
    QTest::newRow("dangling link inside") << "a/f" << "root/a/new" << "a/f" << true;
    QTest::newRow("sibling sharing the prefix") << "l" << "root-x" << "l/c.txt" << false;
    QTest::newRow("link to the root") << "l" << "root" << "l/c.txt" << true;
    QTest::newRow("link loop") << "a/f" << "root/a/f" << "a/f" << false;
    QTest::newRow("link not on the path") << "l" << "outside" << "a/c.txt" << true;
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
    if (!link.isEmpty()
        && !QFile::link(base.filePath(linkTarget), base.filePath(QStringLiteral("root/") + link))) {
        QSKIP("symbolic links cannot be made here");
    }

    QTEST(staysWithinTree(base.filePath(QStringLiteral("root")), name), "within");
}

QTEST_GUILESS_MAIN(tst_EntryName)
#include "tst_entryname.moc"
