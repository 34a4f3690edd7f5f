#include "filetree.h"
#include "log/log.h"
#include "tarbuilder.h"
#include "testutil.h"
#include "update/tinytarunpacker.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <csignal>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const QByteArray sampleTar = TarBuilder()
                                 .directory("d/")
                                 .file("d/a.txt", "hello")
                                 .file("big", patternData(1000))
                                 .end()
                                 .tar();

} // namespace

class tst_TinyTarUnpacker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void install_data();
    void install();
    void oversizedPackage();
    void backupsMirrorTheTree();
    void namesDifferingInCase();
    void permissions_data();
    void permissions();
    void refusedNames_data();
    void refusedNames();
    void fullDisk_data();
    void fullDisk();
    void readOnlyTarget_data();
    void readOnlyTarget();
    void realTools_data();
    void realTools();

private:
    QString path(const QString &relative) const { return dir->filePath(relative); }
    // Log lines as "LABEL text" with the temporary directory shown as "@".
    QStringList log() const;
    // The log, with each line that matches a wildcard line of expected replaced by it.
    QStringList logAs(const QStringList &expected) const;
    bool install(const QByteArray &package, const QString &backup = QStringLiteral("b"));
    bool create(const QStringList &entries) const { return makeTree(dir->path(), entries); }

    QScopedPointer<QTemporaryDir> dir;
};

void tst_TinyTarUnpacker::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    QVERIFY(QDir().mkpath(path(QStringLiteral("t"))));
    Log::setDirectory(path(QStringLiteral("log")));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);
}

QStringList tst_TinyTarUnpacker::log() const
{
    QStringList lines = logEntries(path(QStringLiteral("log/localserver.log")));
    for (QString &line : lines) {
        line.replace(QLatin1String("; TinyTarUnpackerPrivate::unpack; "), QLatin1String(" "));
        line.replace(dir->path(), QLatin1String("@"));
    }
    return lines;
}

QStringList tst_TinyTarUnpacker::logAs(const QStringList &expected) const
{
    // "*" ends an expected line where the system's error text follows, which differs between
    // platforms.
    QStringList written = log();
    for (int i = 0; i < qMin(written.size(), expected.size()); ++i) {
        const QString &line = expected.at(i);
        if (line.endsWith(QLatin1Char('*')) && written.at(i).startsWith(line.chopped(1)))
            written[i] = line;
    }
    return written;
}

bool tst_TinyTarUnpacker::install(const QByteArray &package, const QString &backup)
{
    if (!package.isNull() && !writeFile(path(QStringLiteral("pkg")), package))
        return false;
    TinyTarUnpacker unpacker(path(QStringLiteral("pkg")), path(QStringLiteral("t")),
        backup.isEmpty() ? QString() : path(backup));
    return unpacker.unpack();
}

void tst_TinyTarUnpacker::install_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QByteArray>("package"); // null: no package file
    QTest::addColumn<QStringList>("after"); // all but the package and the log; empty: a failure
    QTest::addColumn<QStringList>("lines"); // after the first

    const QString big = QStringLiteral("t/big=") + describe(patternData(1000));
    const QStringList sample = list({ "b/", "t/", "t/d/", "t/d/a.txt=hello" }) << big;
    const QStringList sampleLines = list({ "INFO Создание пути '@/t/d/'",
        "INFO Распаковка файла '@/t/d/a.txt'", "INFO Распаковка файла '@/t/big'" });
    const auto firstLines = [&](int n) { return QStringList(sampleLines.mid(0, n)); };
    const QString b = QStringLiteral("b");
    const QByteArray package = gzipCompressed(sampleTar);
    // Refused before the first write: the one line, and nothing else.
    const auto refused = [](const char *reason) {
        return QStringList(
            QString::fromUtf8("ERRR Пакет обновления '@/pkg' не прошёл проверку: %1.")
                .arg(QString::fromUtf8(reason)));
    };
    // Failed while writing: the failure's own line, then everything is undone.
    const QString undone = QString::fromUtf8("WARN Установка прервана, изменения отменены: файлы "
                                             "возвращены в состояние до обновления.");
    const auto fails = [&](const char *label, const QByteArray &package, const QStringList &lines,
                           const QStringList &existing = {}, const QString &backup = "b") {
        QTest::newRow(label) << existing << backup << package << QStringList() << lines;
    };

    const auto passes = [&](const char *label, const QByteArray &package, const QStringList &after,
                            const QStringList &lines, const QStringList &existing = {}) {
        QTest::newRow(label) << existing << b << package << after << lines;
    };
    passes("gzip", package, sample, sampleLines);
    passes("zlib, zero fill after end records",
        zlibCompressed(TarBuilder().entry(sampleTar).end(17).tar()), sample, sampleLines);
    passes("directory size skips no records",
        gzipCompressed(TarBuilder()
                           .entry(TarBuilder::header("d/", 700, '5'))
                           .file("d/a.txt", "hello")
                           .end()
                           .tar()),
        list({ "b/", "t/", "t/d/", "t/d/a.txt=hello" }), firstLines(2));
    passes("links become empty files",
        gzipCompressed(TarBuilder().file("l", "", '2').file("h", "", '1').end().tar()),
        list({ "b/", "t/", "t/h=", "t/l=" }),
        list({ "INFO Распаковка файла '@/t/l'", "INFO Распаковка файла '@/t/h'" }));
    // A link is replaced, never written through, and comes back as a link.
    passes("link replaced, backed up as itself",
        gzipCompressed(TarBuilder().file("vorcam", "new").end().tar()),
        list({ "b/", "b/vorcam->vorcam-2.3", "t/", "t/vorcam-2.3=old", "t/vorcam=new" }),
        list({ "INFO Создание резервной копии файла '@/t/vorcam'",
            "INFO Распаковка файла '@/t/vorcam'" }),
        list({ "t/vorcam->vorcam-2.3", "t/vorcam-2.3=old", "b/vorcam=earlier" }));
    // Decoded on a second thread while the files are staged: content that outgrows its first room
    // many times (it moves while files are written from it), and a stream that the fast inflate
    // gives up after thousands of tiny blocks (what it staged is dropped, and the files come from
    // the reference's reading).
    for (const bool tiny : { false, true }) {
        TarBuilder tar;
        QStringList after = list({ "b/", "t/", "t/s/" });
        QStringList lines = list({ "INFO Создание пути '@/t/s/'" });
        const QByteArray first = tiny ? patternData(3 << 20) : QByteArray(6 << 20, 'z');
        tar.directory("s/").file("s/first", first);
        after << QStringLiteral("t/s/first=") + describe(first);
        lines << QStringLiteral("INFO Распаковка файла '@/t/s/first'");
        const int from = int(tar.tar().size());
        for (int i = 0; i < 40; ++i) {
            const QByteArray name = "s/" + QByteArray::number(i);
            const QByteArray data =
                tiny ? patternData(700 + i) : QByteArray(100000, char('a' + i % 26));
            tar.file(name, data);
            after << QStringLiteral("t/") + QString::fromLatin1(name) + QLatin1Char('=')
                    + describe(data);
            lines
                << QStringLiteral("INFO Распаковка файла '@/t/%1'").arg(QString::fromLatin1(name));
        }
        passes(tiny ? "tiny blocks, read by the reference" : "content outgrows its room",
            gzipCompressed(tar.end().tar(), 6, tiny ? from : -1), after, lines);
    }
    // Odd but harmless names, installed as read.
    passes("place markers in a name",
        gzipCompressed(TarBuilder().file("%1%2.txt", "x").end().tar()),
        list({ "b/", "t/", "t/%1%2.txt=x" }), list({ "INFO Распаковка файла '@/t/%1%2.txt'" }));
    passes("doubled separators", gzipCompressed(TarBuilder().directory("d//e/").end().tar()),
        list({ "b/", "t/", "t/d/", "t/d/e/" }), list({ "INFO Создание пути '@/t/d//e/'" }));
    // Invalid UTF-8 for ".." decodes to replacement characters, which climb nowhere (the log's
    // code page shows them as "?").
    passes("overlong dots", gzipCompressed(TarBuilder().directory("\xc0\xae\xc0\xae/").end().tar()),
        list({ "b/", "t/", "t/\xc0\xae\xc0\xae/" }),
        list({ "INFO Создание пути '@/t/\?\?\?\?/'" }));
    // The backup keeps what was there before the package, however often the package names it.
    passes("duplicate entries",
        gzipCompressed(
            TarBuilder().file("a.txt", "v1").file("./a.txt", "v2").file("a.txt", "v3").end().tar()),
        list({ "b/", "b/a.txt=old", "t/", "t/a.txt=v3" }),
        list({ "INFO Создание резервной копии файла '@/t/a.txt'",
            "INFO Распаковка файла '@/t/a.txt'", "INFO Распаковка файла '@/t/./a.txt'",
            "INFO Распаковка файла '@/t/a.txt'" }),
        list({ "t/a.txt=old" }));
    // Extension headers are files under their own names; the long names and paths they carry are
    // never used, so they cannot lead anywhere.
    const QByteArray longName = QByteArray(150, 'x') + "/../../../outside/sentinel";
    const QString x100(100, QLatin1Char('x'));
    const QStringList sentinel = list({ "outside/sentinel=untouched" });
    passes("GNU long name",
        gzipCompressed(TarBuilder()
                           .file("././@LongLink", longName + '\0', 'L')
                           .file(longName.left(100), "evil")
                           .end()
                           .tar()),
        list({ "b/", "outside/", "outside/sentinel=untouched", "t/" })
            << QStringLiteral("t/@LongLink=") + describe(longName + '\0')
            << QStringLiteral("t/") + x100 + QStringLiteral("=evil"),
        list({ "INFO Распаковка файла '@/t/././@LongLink'" })
            << QStringLiteral("INFO Распаковка файла '@/t/%1'").arg(x100),
        sentinel);
    // Links are never made: a link entry becomes an empty file, so nothing can be written through
    // it, not even by the entries that follow, which fail and take it with them.
    const auto link = [](const QByteArray &name, char type, const QByteArray &to) {
        QByteArray header = TarBuilder::header(name, 0, type);
        TarBuilder::setField(header, TarBuilder::LinkName, to);
        return header;
    };
    fails("link entry, then a file below it",
        gzipCompressed(TarBuilder()
                           .entry(link("l", '2', "../outside"))
                           .file("l/sentinel", "evil")
                           .end()
                           .tar()),
        list({ "INFO Распаковка файла '@/t/l'", "INFO Распаковка файла '@/t/l/sentinel'",
            "ERRR Не удалось открыть файл '@/t/l/sentinel': (5) *" })
            << undone,
        sentinel);
    fails("link entry, then a directory below it",
        gzipCompressed(TarBuilder().entry(link("l", '2', "/")).directory("l/etc/").end().tar()),
        list({ "INFO Распаковка файла '@/t/l'", "INFO Создание пути '@/t/l/etc/'",
            "WARN Не удалось создать путь '@/t/l/etc/'" })
            << undone);
    // GNU tar puts its pax headers in a directory that no entry makes.
    fails("pax header, named as GNU tar names it",
        gzipCompressed(TarBuilder()
                           .file("./PaxHeaders/innocent", "30 path=../../outside/sentinel\n", 'x')
                           .file("innocent", "evil")
                           .end()
                           .tar()),
        list({ "INFO Распаковка файла '@/t/./PaxHeaders/innocent'",
            "ERRR Не удалось открыть файл '@/t/./PaxHeaders/innocent': (5) *" })
            << undone,
        sentinel);
    passes("previous backup cannot be removed", package,
        list({ "b/", "b/d/", "b/d/a.txt/", "b/d/a.txt/x=1", "t/", "t/d/", "t/d/a.txt=hello" })
            << big,
        list({ "INFO Создание пути '@/t/d/'", "INFO Создание резервной копии файла '@/t/d/a.txt'",
            "WARN Не удалось удалить предыдущую резервную копию '@/b/d/a.txt': (9) *",
            "WARN Не удалось создать резервную копию файла '@/t/d/a.txt' в '@/b/d/a.txt': "
            "(10) *",
            "INFO Распаковка файла '@/t/d/a.txt'", "INFO Распаковка файла '@/t/big'" }),
        list({ "t/d/a.txt=old", "b/d/a.txt/x=1" }));

    fails("package missing", QByteArray(),
        list({ "WARN Не удалось открыть файл обновления '@/pkg': (5) *" }));
    fails("backup root cannot be created", package,
        list({ "WARN Не удалось создать путь '@/x/b' для сохранения резервной копии." }),
        list({ "x=file" }), QStringLiteral("x/b"));
    const char *const cut = "сжатый поток обрывается раньше своего конца";
    fails("plain tar", sampleTar, refused("это не поток gzip или zlib, или он повреждён"));
    fails("gzip trailer missing", package.chopped(8), refused(cut));
    fails("cut at half", package.left(package.size() / 2), refused(cut), list({ "t/d/a.txt=old" }));
    fails("empty archive", gzipCompressed(QByteArray()), refused("архив tar пуст"));
    QByteArray broken = sampleTar;
    broken[1536] = 'X'; // name in the third header
    fails("bad checksum", gzipCompressed(broken),
        refused("неверный заголовок записи tar по смещению 1536"));
    fails("no end records", gzipCompressed(sampleTar.left(sampleTar.size() - 1024)),
        refused("архив tar обрывается без двух завершающих нулевых записей"));
    const char *const oneEnd = "архив tar не завершается двумя нулевыми записями подряд";
    fails(
        "one end record", gzipCompressed(sampleTar.left(sampleTar.size() - 512)), refused(oneEnd));
    fails("header after one end record",
        gzipCompressed(TarBuilder().file("a", "1").end(1).file("z", "2").end().tar()),
        refused(oneEnd));
    fails("ends inside a file", gzipCompressed(sampleTar.left(2048 + 700)),
        refused("данные файла 'big' обрываются"));
    // 3 GiB of zeros announced in a package of a few MB: it inflates past the 2 GiB limit.
    fails("decompression bomb", zeroBomb(130, TarBuilder::header("big", quint64(3) << 30)),
        refused("распакованное содержимое больше 2147483622 байт"));
    QByteArray forged = TarBuilder::header("huge", 0);
    TarBuilder::setField(forged, TarBuilder::Size, "77777777777");
    fails("forged size writes nothing",
        gzipCompressed(TarBuilder().entry(forged, patternData(1536)).end().tar()),
        refused("данные файла 'huge' обрываются"));
    fails("missing parent", gzipCompressed(TarBuilder().file("no/a", "1").end().tar()),
        list({ "INFO Распаковка файла '@/t/no/a'",
            "ERRR Не удалось открыть файл '@/t/no/a': (5) *" })
            << undone);
    fails("file over a directory", package,
        firstLines(3) << QString::fromUtf8("ERRR Не удалось открыть файл '@/t/big': (5) *")
                      << undone,
        list({ "t/big/x=1" }), QString());
    fails("directory over a file, backup twin made",
        gzipCompressed(TarBuilder().directory("d").end().tar()),
        list({ "INFO Создание пути '@/t/d'", "WARN Не удалось создать путь '@/t/d'" }) << undone,
        list({ "t/d=old" }));
    fails("backup twin cannot be made", package,
        list({ "INFO Создание пути '@/t/d/'", "WARN Не удалось создать путь '@/b/d/'" }) << undone,
        list({ "t/d/", "b/d=file" }));
}

void tst_TinyTarUnpacker::install()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, backup);
    QFETCH(QByteArray, package);
    QFETCH(QStringList, after);
    QFETCH(QStringList, lines);

    if (!create(existing))
        QSKIP("symbolic links cannot be made here");
    // The installer makes the backup root before anything else, whatever follows.
    static_cast<void>(backup.isEmpty() || QDir().mkpath(path(backup)));
    const QStringList before = tree(dir->path(), { QStringLiteral("pkg"), QStringLiteral("log") });
    QCOMPARE(install(package, backup), !after.isEmpty());
    // A failure leaves every file as it was.
    if (after.isEmpty())
        after = before;
    after.sort();
    QCOMPARE(tree(dir->path(), { QStringLiteral("pkg"), QStringLiteral("log") }), after);

    lines.prepend(QStringLiteral("INFO Распаковка архива '@/pkg' в '@/t'..."));
    QCOMPARE(logAs(lines), lines);
}

void tst_TinyTarUnpacker::oversizedPackage()
{
    // A sparse file: a few bytes on the disk, and a size that must never be allocated.
    QFile sparse(path(QStringLiteral("pkg")));
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(3) << 30));
    sparse.close();
    QVERIFY(!install(QByteArray()));
    QCOMPARE(log().last(),
        QString::fromUtf8("ERRR Пакет обновления '@/pkg' не прошёл проверку: в файле 3221225472 "
                          "байт, больше допустимых 2147483622."));
    QCOMPARE(tree(path(QStringLiteral("t"))), QStringList());
}

void tst_TinyTarUnpacker::backupsMirrorTheTree()
{
    QVERIFY(create(list({ "t/a/f.txt=old f", "t/g.txt=old g", "t/keep.txt=keep" })));
    const auto package = [](const QByteArray &version) {
        return gzipCompressed(TarBuilder()
                                  .directory("a")
                                  .file("a/f.txt", version + " f")
                                  .file("g.txt", version + " g")
                                  .directory("n")
                                  .file("n/h.txt", version + " h")
                                  .end()
                                  .tar());
    };

    QVERIFY(install(package("v1")));
    // A directory gets a twin only when it existed before, so n/ has none the first time.
    QCOMPARE(tree(path(QStringLiteral("b"))), list({ "a/", "a/f.txt=old f", "g.txt=old g" }));
    QCOMPARE(tree(path(QStringLiteral("t"))),
        list({ "a/", "a/f.txt=v1 f", "g.txt=v1 g", "keep.txt=keep", "n/", "n/h.txt=v1 h" }));
    QCOMPARE(log(),
        list({ "INFO Распаковка архива '@/pkg' в '@/t'...", "INFO Создание пути '@/t/a'",
            "INFO Создание резервной копии файла '@/t/a/f.txt'",
            "INFO Распаковка файла '@/t/a/f.txt'",
            "INFO Создание резервной копии файла '@/t/g.txt'", "INFO Распаковка файла '@/t/g.txt'",
            "INFO Создание пути '@/t/n'", "INFO Распаковка файла '@/t/n/h.txt'" }));

    // The second installation replaces each backup with the version installed just before.
    QVERIFY(install(package("v2")));
    QCOMPARE(tree(path(QStringLiteral("b"))),
        list({ "a/", "a/f.txt=v1 f", "g.txt=v1 g", "n/", "n/h.txt=v1 h" }));

    // Without a backup directory files are overwritten in place and nothing is backed up.
    QVERIFY(QDir(path(QStringLiteral("b"))).removeRecursively());
    QVERIFY(QFile::remove(path(QStringLiteral("log/localserver.log"))));
    QVERIFY(install(package("v3"), QString()));
    QCOMPARE(tree(dir->path(), { QStringLiteral("pkg"), QStringLiteral("log") }),
        list({ "t/", "t/a/", "t/a/f.txt=v3 f", "t/g.txt=v3 g", "t/keep.txt=keep", "t/n/",
            "t/n/h.txt=v3 h" }));
    QCOMPARE(log().filter(QStringLiteral("резервн")), QStringList());
}

void tst_TinyTarUnpacker::namesDifferingInCase()
{
    // Where the file system ignores case both are one file, backed up once, as it was before the
    // package; which spelling it keeps is its own affair.
    QVERIFY(create(list({ "t/readme.txt=old", "t/CaseProbe=" })));
    const bool foldsCase = QFile::exists(path(QStringLiteral("t/caseprobe")));
    QVERIFY(QFile::remove(path(QStringLiteral("t/CaseProbe"))));
    QVERIFY(install(gzipCompressed(
        TarBuilder().file("README.TXT", "upper").file("readme.txt", "lower").end().tar())));
    QStringList installed = tree(path(QStringLiteral("t")));
    if (foldsCase)
        installed = installed.join(QLatin1Char('\n')).toLower().split(QLatin1Char('\n'));
    QCOMPARE(installed,
        foldsCase ? list({ "readme.txt=lower" })
                  : list({ "README.TXT=upper", "readme.txt=lower" }));
    QCOMPARE(tree(path(QStringLiteral("b"))).join(QLatin1Char('\n')).toLower(),
        QStringLiteral("readme.txt=old"));
}

void tst_TinyTarUnpacker::permissions_data()
{
    QTest::addColumn<bool>("existing"); // an executable file is replaced
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QByteArray>("mode"); // the header's mode field
    QTest::addColumn<bool>("executable");

    QTest::newRow("new file, executable mode") << false << "b" << QByteArray("0000755") << true;
    QTest::newRow("new file, plain mode") << false << "b" << QByteArray("0000644") << false;
    QTest::newRow("new file, mode not a number") << false << "b" << QByteArray("xyz") << false;
    QTest::newRow("replaced with backup keeps its bits")
        << true << "b" << QByteArray("0000644") << true;
    QTest::newRow("replaced in place keeps its bits")
        << true << "" << QByteArray("0000644") << true;
}

void tst_TinyTarUnpacker::permissions()
{
#ifdef Q_OS_WIN
    QSKIP("execute permissions are a Unix notion; Windows runs any .exe");
#endif
    // An update that brings a new build of a program must leave it startable.
    QFETCH(bool, existing);
    QFETCH(QString, backup);
    QFETCH(QByteArray, mode);
    QFETCH(bool, executable);

    const QString installed = path(QStringLiteral("t/prog"));
    if (existing) {
        QVERIFY(writeFile(installed, "old build"));
        QVERIFY(QFile::setPermissions(installed, QFile::permissions(installed) | QFile::ExeOwner));
    }
    QByteArray header = TarBuilder::header("prog", 9);
    TarBuilder::setField(header, TarBuilder::Mode, mode.leftJustified(8, '\0'));
    QVERIFY(install(gzipCompressed(TarBuilder().entry(header, "new build").end().tar()), backup));
    QCOMPARE(readFile(installed), QByteArray("new build"));
    QCOMPARE(bool(QFile::permissions(installed) & QFile::ExeOwner), executable);
}

void tst_TinyTarUnpacker::refusedNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("isDirectory");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("backup");

    // Each name, if it were obeyed, would write over the sentinel or create a file outside t (or
    // write through a link inside it). The name rules themselves are tst_entryname's; links need
    // the tree and are tried here.
    // "@" stands for the temporary directory.
    const auto row = [&](const char *label, const QByteArray &name, bool isDirectory = false,
                         std::initializer_list<const char *> existing = {},
                         const QString &backup = QStringLiteral("b")) {
        QTest::newRow(label) << name << isDirectory << list(existing) << backup;
    };
    row("absolute", "@/outside/sentinel");
    row("drive", "C:/outside/sentinel");
    row("climbing directory", "a/../../outside/", true);
    // Names the log's code page cannot hold.
    row("C1 control character",
        "a\xc2\x85"
        "b");
    row("device name, superscript digit", "LPT\xc2\xb9");
    row("climbing", "../outside/sentinel");
    row("through a link", "out/sentinel", false, { "t/out->../outside" });
    row("through a link without backups", "out/sentinel", false, { "t/out->../outside" },
        QString());
    row("directory through a link", "out/new/", true, { "t/out->../outside" });
    row("directory that is a link", "out/", true, { "t/out->../outside" });
    row("link to a sibling", "out/x", false, { "t-x/", "t/out->../t-x" });
    row("link inside the tree", "in/x", false, { "t/sub/", "t/in->sub" });
    row("backup through a link", "a/f", false, { "t/a/f=old", "b/a->../outside" });
    row("the journal's name", "bk.journal", false, {}, QStringLiteral("t/bk"));
    row("in the staging area", "bk.staging/1024", false, {}, QStringLiteral("t/bk"));
}

void tst_TinyTarUnpacker::refusedNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, isDirectory);
    QFETCH(QStringList, existing);
    QFETCH(QString, backup);
    name.replace('@', QFile::encodeName(dir->path()));

    if (!create(existing))
        QSKIP("symbolic links cannot be made here");
    QVERIFY(create(list({ "outside/sentinel=untouched" })));
    QVERIFY(backup.isEmpty() || create({ backup + QLatin1Char('/') }));
    const QStringList skip = { QStringLiteral("t"), QStringLiteral("pkg"), QStringLiteral("log") };
    const QStringList before = tree(dir->path(), skip);

    TarBuilder tar;
    tar.file("first.txt", "1");
    if (isDirectory)
        tar.directory(name);
    else
        tar.file(name, "evil");
    QVERIFY(!install(gzipCompressed(tar.file("after.txt", "2").end().tar()), backup));

    // Refused before the first write: not even the entry before it is there.
    QCOMPARE(tree(dir->path(), skip), before);
    QVERIFY(!QFile::exists(path(QStringLiteral("t/first.txt"))));
    // The log stores Windows-1251: characters it lacks read back as "?".
    const QString stored =
        fromCp1251(QTextCodec::codecForName("Windows-1251")->fromUnicode(QString::fromUtf8(name)))
            .replace(dir->path(), QLatin1String("@"));
    QCOMPARE(log(),
        list({ "INFO Распаковка архива '@/pkg' в '@/t'..." })
            << QString::fromUtf8("ERRR Недопустимое имя файла в пакете обновления: '%1'.")
                   .arg(stored));
}

void tst_TinyTarUnpacker::fullDisk_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("far beyond the limit") << 200000;
    QTest::newRow("just beyond the limit") << (64 << 10) + 1;
}

void tst_TinyTarUnpacker::fullDisk()
{
#ifdef Q_OS_UNIX
    QFETCH(int, size);
    QVERIFY(writeFile(path(QStringLiteral("pkg")),
        gzipCompressed(
            TarBuilder().file("small", "1").file("big", patternData(size)).end().tar())));
    // A file size limit fails writes with EFBIG just as a full disk fails them with ENOSPC; it is
    // set in a child so that it cannot outlive the test.
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit = { 64 << 10, RLIM_INFINITY };
        signal(SIGXFSZ, SIG_IGN);
        _exit(setrlimit(RLIMIT_FSIZE, &limit) == 0 && !install(QByteArray()) ? 0 : 1);
    }
    int status = 0;
    QVERIFY(pid > 0 && waitpid(pid, &status, 0) == pid);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the installation did not fail");
    QCOMPARE(log(),
        list({ "INFO Распаковка архива '@/pkg' в '@/t'...", "INFO Распаковка файла '@/t/small'",
            "INFO Распаковка файла '@/t/big'", "ERRR Ошибка записи файла '@/t/big' (статус 3).",
            "WARN Установка прервана, изменения отменены: файлы возвращены в состояние до "
            "обновления." }));
    // Not even the file written before it stays.
    QCOMPARE(tree(path(QStringLiteral("t"))), QStringList());
#else
    QSKIP("file size limits are set with setrlimit, which this platform lacks");
#endif
}

void tst_TinyTarUnpacker::readOnlyTarget_data()
{
    QTest::addColumn<bool>("fileReadOnly");
    QTest::addColumn<bool>("directoryReadOnly");
    QTest::addColumn<bool>("backups");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QStringList>("lines"); // after the first

    const QString backup = QStringLiteral("INFO Создание резервной копии файла '@/t/app.bin'");
    const QString write = QStringLiteral("INFO Распаковка файла '@/t/app.bin'");
    const QString openFailed = QStringLiteral("ERRR Не удалось открыть файл '@/t/app.bin': (5) *");
    const QString undone = QStringLiteral(
        "WARN Установка прервана, изменения отменены: файлы возвращены в состояние до обновления.");

    // A file is never written in place: a read-only one is replaced like any other, while in a
    // read-only directory nothing can be replaced at all (the backup, a second name of the file
    // in the backup tree, is made and taken back).
    QTest::newRow("read-only file")
        << true << false << true << true << QByteArray("new") << QStringList({ backup, write });
    QTest::newRow("read-only file, no backups")
        << true << false << false << true << QByteArray("new") << QStringList({ write });
    QTest::newRow("read-only directory, writable file")
        << false << true << true << false << QByteArray("old")
        << QStringList({ backup, write, openFailed, undone });
    QTest::newRow("read-only file in a read-only directory")
        << true << true << true << false << QByteArray("old")
        << QStringList({ backup, write, openFailed, undone });
}

void tst_TinyTarUnpacker::readOnlyTarget()
{
#ifdef Q_OS_UNIX
    QFETCH(bool, fileReadOnly);
    QFETCH(bool, directoryReadOnly);
    QFETCH(bool, backups);
    QFETCH(QStringList, lines);

    QVERIFY(create(list({ "t/app.bin=old", "b/", "log/" })));
    QVERIFY(writeFile(path(QStringLiteral("pkg")),
        gzipCompressed(TarBuilder().file("app.bin", "new").end().tar())));
    // Root ignores permissions; the installation then runs as nobody, owner of the tree.
    const passwd *nobody = ::getpwnam("nobody");
    const bool dropRoot = ::geteuid() == 0;
    if (dropRoot) {
        QVERIFY(nobody);
        for (const char *entry : { "", "t", "t/app.bin", "b", "log", "pkg" }) {
            QCOMPARE(::chown(QFile::encodeName(path(QLatin1String(entry))).constData(),
                         nobody->pw_uid, nobody->pw_gid),
                0);
        }
    }
    const QString target = path(QStringLiteral("t"));
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner;
    QVERIFY(QFile::setPermissions(path(QStringLiteral("t/app.bin")),
        fileReadOnly ? QFile::ReadOwner : QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(
        QFile::setPermissions(target, directoryReadOnly ? readOnly : readOnly | QFile::WriteOwner));
    const auto restore =
        qScopeGuard([&] { QFile::setPermissions(target, readOnly | QFile::WriteOwner); });

    const pid_t pid = ::fork();
    if (pid == 0) {
        if (dropRoot && (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0))
            ::_exit(2);
        ::_exit(install(QByteArray(), backups ? QStringLiteral("b") : QString()) ? 0 : 1);
    }
    int status = 0;
    QVERIFY(pid > 0 && ::waitpid(pid, &status, 0) == pid);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) < 2);
    QTEST(WEXITSTATUS(status) == 0, "result");
    QTEST(readFile(path(QStringLiteral("t/app.bin"))), "installed");
    QCOMPARE(readFile(path(QStringLiteral("b/app.bin"))),
        QByteArray(backups && !directoryReadOnly ? "old" : ""));
    lines.prepend(QStringLiteral("INFO Распаковка архива '@/pkg' в '@/t'..."));
    QCOMPARE(logAs(lines), lines);
#else
    QSKIP("permissions are tried with fork and setuid, which this platform lacks");
#endif
}

void tst_TinyTarUnpacker::realTools_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments"); // %P: the package, %S: the source directory
    QTest::addColumn<QString>("extra"); // a file that only our reading of the package makes

    // Python writes its float mtime into a pax header before every entry. Our reader takes each
    // such header for a regular file named ././@PaxHeader, so t/@PaxHeader appears (holding the
    // last header) on top of the source tree; the prefix field is never used, so names stay short.
    const char *const python = "import sys, tarfile\n"
                               "fmt = {'ustar': tarfile.USTAR_FORMAT, 'gnu': tarfile.GNU_FORMAT,"
                               " 'pax': tarfile.PAX_FORMAT}[sys.argv[3]]\n"
                               "with tarfile.open(sys.argv[1], 'w:gz', format=fmt) as t:\n"
                               "    t.add(sys.argv[2], arcname='.')\n";
    const QStringList tar = list({ "-czf", "%P", "-C", "%S", "." });
    QTest::newRow("GNU tar") << "tar" << tar << QString();
    QTest::newRow("bsdtar") << "bsdtar" << tar << QString();
    QTest::newRow("pigz zlib stream")
        << "tar" << list({ "--use-compress-program=pigz -z", "-cf", "%P", "-C", "%S", "." })
        << QString();
    QTest::newRow("Python pax") << "python3" << list({ "-c", python, "%P", "%S", "pax" })
                                << QStringLiteral("@PaxHeader");
}

void tst_TinyTarUnpacker::realTools()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, extra);

    if (QStandardPaths::findExecutable(program).isEmpty())
        QSKIP(qPrintable(program + QLatin1String(" is not installed")));
    if (arguments.first().contains(QLatin1String("pigz"))
        && QStandardPaths::findExecutable(QStringLiteral("pigz")).isEmpty()) {
        QSKIP("pigz is not installed");
    }
    QVERIFY(makeTree(path(QStringLiteral("src")),
        list({ "bin/app.exe=#100000", "bin/lib.dll=#512", "data/deep/er/odd.bin=#513",
            "data/empty.dat=", "readme.txt=hello", "emptydir/" })));

    for (QString &argument : arguments) {
        argument.replace(QLatin1String("%P"), path(QStringLiteral("pkg")));
        argument.replace(QLatin1String("%S"), path(QStringLiteral("src")));
    }
    QProcess tool;
    tool.start(program, arguments);
    QVERIFY2(tool.waitForFinished(60000), qPrintable(tool.errorString()));
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0,
        tool.readAllStandardError().constData());

    // Installed twice: the target then mirrors the source and so does the backup tree.
    const QStringList source = tree(path(QStringLiteral("src")));
    for (int run = 0; run < 2; ++run) {
        QVERIFY(install(QByteArray()));
        for (const QString &root : { QStringLiteral("t"), QStringLiteral("b") }) {
            const bool firstBackup = run == 0 && root == QLatin1String("b");
            QStringList installed = tree(path(root));
            // The pax header file is backed up only once it was there before the package.
            if (!extra.isEmpty() && !firstBackup) {
                const int before = installed.size();
                installed.erase(std::remove_if(installed.begin(), installed.end(),
                                    [&](const QString &e) { return e.startsWith(extra); }),
                    installed.end());
                QCOMPARE(installed.size(), before - 1);
            }
            QCOMPARE(installed, firstBackup ? QStringList() : source);
        }
    }
}

QTEST_GUILESS_MAIN(tst_TinyTarUnpacker)
#include "tst_tinytarunpacker.moc"
