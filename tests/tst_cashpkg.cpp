#include "access.h"
#include "filetree.h"
#include "links.h"
#include "tarbuilder.h"
#include "testutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <utility>

namespace {

struct Result
{
    int status = -1;
    QString out;
    QString err;
};

// The installer's log lines, reduced to the steps check names.
QStringList installSteps(const QString &output)
{
    QStringList steps;
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(QString::fromUtf8("; Создание пути '")))
            steps << QStringLiteral("create-directory");
        else if (line.contains(QString::fromUtf8("; Создание резервной копии файла '")))
            steps << QStringLiteral("back-up-file");
        else if (line.contains(QString::fromUtf8("; Распаковка файла '")))
            steps << QStringLiteral("write-file");
    }
    return steps;
}

QStringList codes(const QJsonObject &report)
{
    QStringList found;
    QJsonArray all = report.value(QStringLiteral("findings")).toArray();
    const QJsonArray entries = report.value(QStringLiteral("entries")).toArray();
    for (const QJsonValue &entry : entries) {
        const QJsonArray more = entry.toObject().value(QStringLiteral("findings")).toArray();
        for (const QJsonValue &finding : more)
            all.append(finding);
    }
    for (const QJsonValue &finding : std::as_const(all))
        found << finding.toObject().value(QStringLiteral("code")).toString();
    found.removeDuplicates();
    found.sort();
    return found;
}

const QByteArray sampleTar = TarBuilder()
                                 .directory("bin/")
                                 .file("bin/app.exe", patternData(3000))
                                 .file("readme.txt", "new")
                                 .end()
                                 .tar();

} // namespace

class tst_CashPkg : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void rollbackRestoresTheOlderTree_data();
    void rollbackRestoresTheOlderTree();
    void rollbackLeavesWhatItCannotRestore();
    void recoverFromJournal_data();
    void recoverFromJournal();
    void checkAgreesWithInstaller_data();
    void checkAgreesWithInstaller();
    void checkFindsWhatOtherToolsWrite_data();
    void checkFindsWhatOtherToolsWrite();
    void buildIsDeterministic();
    void buildRefuses_data();
    void buildRefuses();
    void signedPackages_data();
    void signedPackages();
    void commandLine_data();
    void commandLine();

private:
    QString path(const QString &relative) const { return dir->filePath(relative); }
    Result cashpkg(const QStringList &arguments) const;
    QJsonObject check(const QStringList &arguments, int *status = nullptr) const;
    bool create(const QStringList &entries) const { return makeTree(dir->path(), entries); }

    QScopedPointer<QTemporaryDir> dir;
};

void tst_CashPkg::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
}

Result tst_CashPkg::cashpkg(const QStringList &arguments) const
{
    QProcess process;
    process.setWorkingDirectory(dir->path());
    process.start(QStringLiteral(CASHPKG_PATH), arguments);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QJsonObject tst_CashPkg::check(const QStringList &arguments, int *status) const
{
    const Result result =
        cashpkg(QStringList { QStringLiteral("check"), QStringLiteral("--json") } + arguments);
    if (status)
        *status = result.status;
    return QJsonDocument::fromJson(result.out.toUtf8()).object();
}

void tst_CashPkg::roundTrip_data()
{
    QTest::addColumn<QStringList>("source"); // below "src/"
    QTest::addColumn<QString>("compression");

    const QStringList nested = list({ "bin/app.exe=#100000", "bin/lib.dll=#512",
        "data/deep/er/odd.bin=#513", "data/empty.dat=", "readme.txt=hello", "emptydir/" });
    QTest::newRow("nested, gzip") << nested << "gzip";
    QTest::newRow("nested, zlib") << nested << "zlib";
    QTest::newRow("record boundaries")
        << list({ "0=", "1=#1", "511=#511", "512=#512", "1024=#1024", "1025=#1025" }) << "gzip";
    QTest::newRow("Cyrillic and hidden names")
        << list({ "каталог/файл.txt=текст", ".hidden=h", ".config/x=y" }) << "gzip";
    // 100 bytes with the slash: the field holds the name with no room for a NUL.
    QTest::newRow("100-byte directory name")
        << QStringList { QString(99, QLatin1Char('d')) + QLatin1String("/") } << "gzip";
    QTest::newRow("nothing at all") << QStringList() << "gzip";
}

void tst_CashPkg::roundTrip()
{
    QFETCH(QStringList, source);
    QFETCH(QString, compression);
    QVERIFY(create(list({ "src/", "t/" })) && makeTree(path(QStringLiteral("src")), source));

    QStringList build = list({ "build", "src", "-o", "p" });
    if (compression == QLatin1String("zlib"))
        build << QStringLiteral("--zlib");
    const Result built = cashpkg(build);
    QVERIFY2(built.status == 0, qPrintable(built.err));

    int status = -1;
    const QJsonObject report = check(list({ "p", "--target", "t" }), &status);
    QCOMPARE(report.value(QStringLiteral("compression")).toString(), compression);
    QCOMPARE(codes(report), QStringList());
    QVERIFY(report.value(QStringLiteral("installs")).toBool());
    QCOMPARE(status, 0);

    const Result installed = cashpkg(list({ "install", "p", "--target", "t", "--backup", "b" }));
    QVERIFY2(installed.status == 0, qPrintable(installed.out + installed.err));
    QCOMPARE(tree(path(QStringLiteral("t"))), tree(path(QStringLiteral("src"))));

    // Another reader must take our headers too: Python checks the checksums and the layout.
    if (QStandardPaths::findExecutable(QStringLiteral("python3")).isEmpty())
        QSKIP("python3 is not installed");
    QProcess python;
    python.start(QStringLiteral("python3"),
        { QStringLiteral("-c"),
            QStringLiteral("import io, sys, tarfile, zlib\n"
                           "data = zlib.decompress(open(sys.argv[1], 'rb').read(), 47)\n"
                           "for m in tarfile.open(fileobj=io.BytesIO(data), mode='r:'):\n"
                           "    print(m.name + ('/' if m.isdir() else ''))\n"),
            path(QStringLiteral("p")) });
    QVERIFY(python.waitForFinished(60000));
    QCOMPARE(python.exitCode(), 0);
    QStringList names = QString::fromUtf8(python.readAllStandardOutput())
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList expected = tree(path(QStringLiteral("src")));
    for (QString &entry : expected)
        entry = entry.section(QLatin1Char('='), 0, 0);
    expected.sort();
    names.sort();
    QCOMPARE(names, expected);
}

void tst_CashPkg::rollbackRestoresTheOlderTree_data()
{
    QTest::addColumn<QStringList>("older"); // the target before the update
    QTest::addColumn<QStringList>("newer"); // the package's source tree
    QTest::addColumn<QStringList>("changes"); // made below the target once the update is in
    QTest::addColumn<bool>("backupElsewhere"); // on another file system: it gets copies

    const QStringList older =
        list({ "bin/app.exe=#5000", "bin/old.dll=old", "readme.txt=v1", "keep.ini=mine" });
    const QStringList newer =
        list({ "bin/app.exe=#7000", "bin/new.dll=new", "readme.txt=v2", "notes.txt=n" });
    QTest::newRow("changed and new files") << older << newer << QStringList() << false;
    QTest::newRow("new nested directories")
        << list({ "app=1" }) << list({ "app=2", "plugins/a/b.so=#600", "plugins/c/", "docs/x=y" })
        << QStringList() << false;
    QTest::newRow("new files in an existing directory, emptied file")
        << list({ "data/a=content", "data/own/" })
        << list({ "data/a=", "data/own/n=1", "data/b=2" }) << QStringList() << false;
    // Most updates ship some files again unchanged: their backup holds the package's bytes.
    QTest::newRow("files shipped again unchanged")
        << list({ "lib.dll=#3000", "app=1" }) << list({ "lib.dll=#3000", "app=2" }) << QStringList()
        << false;
    QTest::newRow("replaced link comes back as a link")
        << list({ "vorcam->vorcam-2.3", "vorcam-2.3=old" }) << list({ "vorcam=new" })
        << QStringList() << false;
    // Changes made since are moved aside under a clear name, never deleted.
    QTest::newRow("changed since, replaced and new files")
        << older << newer << list({ "t/readme.txt=edited", "t/notes.txt=mine too" }) << false;
    QTest::newRow("backup tree on another file system")
        << older << newer << list({ "t/readme.txt=edited" }) << true;
}

void tst_CashPkg::rollbackRestoresTheOlderTree()
{
    QFETCH(QStringList, older);
    QFETCH(QStringList, newer);
    QFETCH(QStringList, changes);
    QFETCH(bool, backupElsewhere);
    QString backup = QStringLiteral("b");
    const QTemporaryDir elsewhere(QCoreApplication::applicationDirPath() + "/backup-XXXXXX");
    if (backupElsewhere) {
        if (QStorageInfo(elsewhere.path()).device() == QStorageInfo(dir->path()).device())
            QSKIP("the build directory and the temporary one share a file system");
        backup = elsewhere.path() + QStringLiteral("/b");
    }
    if (!makeTree(path(QStringLiteral("t")), older)
        || !makeTree(path(QStringLiteral("src")), newer))
        QSKIP("symbolic links cannot be made here");
    QStringList before = tree(path(QStringLiteral("t")));
    if (backupElsewhere) {
        // A failed installation is undone from the backup's copies, which cannot be renamed back.
        QVERIFY(writeFile(path(QStringLiteral("broken")),
            gzipCompressed(
                TarBuilder().file("readme.txt", "v9").directory("keep.ini/").end().tar())));
        QVERIFY(cashpkg(list({ "install", "broken", "--target", "t", "--backup" }) << backup).status
            != 0);
        QCOMPARE(tree(path(QStringLiteral("t"))), before);
        QVERIFY(!QFileInfo::exists(backup + QStringLiteral(".journal")));
    }

    QCOMPARE(cashpkg(list({ "build", "src", "-o", "p" })).status, 0);
    const Result installed =
        cashpkg(list({ "install", "p", "--target", "t", "--backup" }) << backup);
    QVERIFY2(installed.status == 0, qPrintable(installed.out + installed.err));
    QVERIFY(create(changes));
    const QStringList after = tree(path(QStringLiteral("t")));
    QVERIFY(after != before);
    for (const QString &change : std::as_const(changes)) {
        before << change.mid(2).replace(QLatin1String("="), QLatin1String(".before-rollback="));
        before.sort();
    }

    const Result plan =
        cashpkg(list({ "rollback", "p", "--target", "t", "--dry-run", "--backup" }) << backup);
    QVERIFY2(plan.status == 0, qPrintable(plan.out + plan.err));
    QCOMPARE(tree(path(QStringLiteral("t"))), after);

    const Result rolledBack =
        cashpkg(list({ "rollback", "p", "--target", "t", "--backup" }) << backup);
    QVERIFY2(rolledBack.status == 0, qPrintable(rolledBack.out + rolledBack.err));
    QCOMPARE(tree(path(QStringLiteral("t"))), before);
    // The dry run announced exactly what the rollback did.
    QString announced = plan.out;
    announced.replace(QLatin1String("would restore"), QLatin1String("restored"))
        .replace(QLatin1String("would remove directory"), QLatin1String("removed directory"))
        .replace(QLatin1String("would remove"), QLatin1String("removed"))
        .replace(QLatin1String("would move aside"), QLatin1String("moved aside"));
    QCOMPARE(announced, rolledBack.out);

    // Backups are copied back, not moved: a second rollback finds nothing left to do.
    const Result again = cashpkg(list({ "rollback", "p", "--target", "t", "--backup" }) << backup);
    QVERIFY2(again.status == 0, qPrintable(again.out));
    QCOMPARE(tree(path(QStringLiteral("t"))), before);
}

void tst_CashPkg::rollbackLeavesWhatItCannotRestore()
{
    QVERIFY(create(list({ "t/bin/app.exe=old", "t/readme.txt=old" })));
    // The file's backup failed for want of bin/ in the backup, which its entry made only later:
    // nothing says whether it existed before.
    QVERIFY(writeFile(path(QStringLiteral("p")),
        gzipCompressed(
            TarBuilder().file("bin/app.exe", patternData(3000)).directory("bin/").end().tar())));
    QCOMPARE(cashpkg(list({ "install", "p", "--target", "t", "--backup", "b" })).status, 0);
    const QStringList installed = tree(path(QStringLiteral("t")));
    const QStringList rollback = list({ "rollback", "p", "--target", "t", "--backup", "b" });
    const Result result = cashpkg(rollback);
    QCOMPARE(result.status, 1);
    QVERIFY2(result.out.contains(QLatin1String("NOT RESTORED bin/app.exe: no backup")),
        qPrintable(result.out));
    QCOMPARE(tree(path(QStringLiteral("t"))), installed);

    // Nothing at all changes when the package or the backup tree is not there to go by.
    const QStringList now = tree(dir->path());
    QVERIFY(writeFile(path(QStringLiteral("junk")), "not a package"));
    QVERIFY(writeFile(path(QStringLiteral("cut")), readFile(path(QStringLiteral("p"))).chopped(8)));
    QCOMPARE(cashpkg(list({ "rollback", "junk", "--target", "t", "--backup", "b" })).status, 1);
    QCOMPARE(cashpkg(list({ "rollback", "cut", "--target", "t", "--backup", "b" })).status, 1);
    QCOMPARE(cashpkg(list({ "rollback", "p", "--target", "t", "--backup", "none" })).status, 1);
    QVERIFY(
        QFile::remove(path(QStringLiteral("junk"))) && QFile::remove(path(QStringLiteral("cut"))));
    QCOMPARE(tree(dir->path()), now);
}

void tst_CashPkg::recoverFromJournal_data()
{
    QTest::addColumn<QStringList>("command"); // run in the temporary directory
    QTest::addColumn<QByteArray>("records"); // the journal's lines after its head
    QTest::addColumn<QStringList>("expected"); // the target afterwards
    QTest::addColumn<int>("status");

    // What a kill leaves: the old a.txt set aside, the new one in place, the new b.txt not yet.
    const QStringList recover = list({ "recover", "--target", "t" });
    const QStringList rollback = list({ "rollback", "--target", "t", "--backup", "t/backup" });
    const QByteArray interrupted = "group\nfile aside 0 a.txt\nfile new 0 b.txt\n";
    const QStringList left = list({ ".a.txt.0badf00d.old=old", ".b.txt.0badf00d.new=new",
        "a.txt=new", "backup.journal=", "backup/" });
    QTest::newRow("recover, interrupted")
        << recover << interrupted << list({ "a.txt=old", "backup/" }) << 0;
    QTest::newRow("rollback without a package, interrupted")
        << rollback << interrupted << list({ "a.txt=old", "backup/" }) << 0;
    QTest::newRow("recover, complete") << recover << interrupted + "complete\n"
                                       << list({ "a.txt=new", "b.txt=new", "backup/" }) << 0;
    // A journal that names a path outside the tree is no journal of ours: nothing is touched.
    QTest::newRow("recover, a path climbing out")
        << recover << QByteArray("group\nfile new 0 ../outside\n") << left << 1;
}

void tst_CashPkg::recoverFromJournal()
{
    QFETCH(QStringList, command);
    QFETCH(QByteArray, records);
    QFETCH(QStringList, expected);
    QFETCH(int, status);
    QVERIFY(create(list({ "t/a.txt=new", "t/.a.txt.0badf00d.old=old", "t/.b.txt.0badf00d.new=new",
        "t/backup/", "outside=keep" })));
    if (records.endsWith("complete\n")) {
        QVERIFY(QFile::rename(
            path(QStringLiteral("t/.b.txt.0badf00d.new")), path(QStringLiteral("t/b.txt"))));
    }
    const QByteArray head = "localcashserver installation journal 1\nid 0badf00d\npackage p\n";
    QVERIFY(writeFile(path(QStringLiteral("t/backup.journal")), head + records));

    const Result result = cashpkg(command);
    QCOMPARE(result.status, status);
    QStringList after = tree(path(QStringLiteral("t")));
    after.replaceInStrings(QRegularExpression(QStringLiteral("^backup\\.journal=.*")),
        QStringLiteral("backup.journal="));
    QCOMPARE(after, expected);
    QCOMPARE(readFile(path(QStringLiteral("outside"))), QByteArray("keep"));
    if (status != 0)
        return;
    QVERIFY2(result.out.contains(records.endsWith("complete\n")
                     ? QString::fromUtf8("была завершена")
                     : QString::fromUtf8("Прерванная установка отменена")),
        qPrintable(result.out));
    // Nothing is left to do.
    const Result again = cashpkg(command);
    QCOMPARE(again.status, 0);
    QVERIFY(again.out.startsWith(QLatin1String("no interrupted installation")));
}

void tst_CashPkg::checkAgreesWithInstaller_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QStringList>("existing"); // below the target "t/" and the backup "b/"
    QTest::addColumn<bool>("backups");
    QTest::addColumn<QStringList>("codes"); // of check's findings

    const auto gz = [](const TarBuilder &tar) { return gzipCompressed(tar.tar()); };
    const QStringList target = list({ "t/" });
    const QStringList older = list({ "t/bin/app.exe=old", "t/readme.txt=old" });

    const QByteArray sample = gzipCompressed(sampleTar);
    const auto row = [](const char *label, const QByteArray &package, const QStringList &existing,
                         bool backups, const QStringList &codes = {}) {
        QTest::newRow(label) << package << existing << backups << codes;
    };
    row("fresh target", sample, target, true);
    row("over an older tree without backups", sample, older, false);
    row("no directory entry: backup fails, file written in place",
        gz(TarBuilder().file("bin/app.exe", "x").end()), older, true, list({ "backup-fails" }));
    row("no directory entry, backup left from before",
        gz(TarBuilder().file("bin/app.exe", "x").end()), older + list({ "b/bin/" }), true,
        list({ "no-directory-entry" }));
    row("missing parent", gz(TarBuilder().file("no/a", "1").end()), target, true,
        list({ "missing-parent" }));
    row("target missing", gz(TarBuilder().file("a", "1").end()), {}, false,
        list({ "missing-parent" }));
    row("./ entry creates the target", gz(TarBuilder().directory("./").file("./a", "1").end()), {},
        false, list({ "dot-slash" }));
    row("climbing name", gz(TarBuilder().file("a", "1").file("../x", "2").end()), target, true,
        list({ "refused-name" }));
    row("link leading outside", gz(TarBuilder().file("out/x", "1").end()), list({ "t/out->.." }),
        true, list({ "refused-name" }));
    row("links become empty files", gz(TarBuilder().file("l", "", '2').file("h", "", '1').end()),
        target, true, list({ "link" }));
    row("pax header",
        gz(TarBuilder().file("././@PaxHeader", "13 path=long\n", 'x').file("a", "1").end()), target,
        true, list({ "lost-name", "pax-header" }));
    row("duplicate and case", gz(TarBuilder().file("a", "1").file("a", "2").file("A", "3").end()),
        older, true, list({ "case-clash", "duplicate" }));
    const QByteArray directory = gz(TarBuilder().directory("readme.txt").end());
    row("directory over a file", directory, older, false, list({ "directory-over-file" }));
    row("directory over a file, backup twin made first", directory, older, true,
        list({ "directory-over-file" }));
    row("backup twin blocked", sample, older + list({ "b/bin=file" }), true,
        list({ "backup-twin" }));
    row("previous backup is a directory", sample, older + list({ "b/readme.txt/x=1" }), true,
        list({ "backup-fails", "previous-backup" }));
    const QByteArray file = gz(TarBuilder().file("bin", "1").end());
    row("file over a directory, moved into the backup", file, older, true,
        list({ "directory-replaced" }));
    row("file over a directory without backups", file, older, false,
        list({ "file-over-directory" }));
    row("file named like a directory", gz(TarBuilder().file("bin/", "1").end()), older, true,
        list({ "refused-name" }));
    row("link inside the tree on the path", gz(TarBuilder().file("in/x", "1").end()),
        list({ "t/sub/", "t/in->sub" }), true, list({ "refused-name" }));
    row("link replaced by a file", gz(TarBuilder().file("l", "1").end()),
        list({ "t/l->readme.txt", "t/readme.txt=r" }), true);

    QByteArray badSum = sampleTar;
    badSum[4096] = 'X'; // the name in the third header, after 3000 bytes of data
    row("bad checksum", gzipCompressed(badSum), older, true, list({ "bad-header" }));
    row("no end records", gzipCompressed(sampleTar.left(sampleTar.size() - 1024)), target, true,
        list({ "no-end-records" }));
    row("one end record", gzipCompressed(sampleTar.left(sampleTar.size() - 512)), target, true,
        list({ "one-end-record" }));
    row("header after one end record", gz(TarBuilder().file("a", "1").end(1).file("z", "2").end()),
        target, true, list({ "header-after-end" }));
    row("cut inside a file", gzipCompressed(sampleTar.left(1024 + 1000)), target, true,
        list({ "cut-short", "no-end-records" }));
    row("cut inside a header", gzipCompressed(sampleTar.left(1024 + 3072 + 100)), target, true,
        list({ "bad-header" }));
    row("plain tar", sampleTar, target, true, list({ "not-a-package" }));
    row("gzip trailer missing", sample.chopped(8), target, true, list({ "stream-cut-short" }));
    row("compression ratio",
        zlibCompressed(TarBuilder().file("zeros", QByteArray(1 << 20, '\0')).end().tar()), target,
        true, list({ "compression-ratio" }));
}

void tst_CashPkg::checkAgreesWithInstaller()
{
    QFETCH(QByteArray, package);
    QFETCH(QStringList, existing);
    QFETCH(bool, backups);

    // The same tree twice: one for check, which must leave it as it is, one for the installer.
    if (!makeTree(path(QStringLiteral("one")), existing)
        || !makeTree(path(QStringLiteral("two")), existing)) {
        QSKIP("symbolic links cannot be made here");
    }
    QVERIFY(writeFile(path(QStringLiteral("p")), package));
    const auto options = [&](const QString &copy) {
        QStringList arguments { QStringLiteral("p"), QStringLiteral("--target"),
            copy + QLatin1String("/t") };
        arguments << (backups
                ? QStringList { QStringLiteral("--backup"), copy + QLatin1String("/b") }
                : QStringList { QStringLiteral("--no-backup") });
        return arguments;
    };

    const QStringList before = tree(path(QStringLiteral("one")));
    int checked = -1;
    const QJsonObject report = check(options(QStringLiteral("one")), &checked);
    QTEST(codes(report), "codes");
    QCOMPARE(tree(path(QStringLiteral("one"))), before);

    const Result installed =
        cashpkg(QStringList { QStringLiteral("install") } + options(QStringLiteral("two")));
    const bool installs = report.value(QStringLiteral("installs")).toBool();
    QCOMPARE(installs, installed.status == 0);
    QVERIFY(checked != 0 || installs);
    QCOMPARE(checked == 0, installs && report.value(QStringLiteral("errors")).toInt() == 0);

    QStringList predicted;
    const QJsonArray entries = report.value(QStringLiteral("entries")).toArray();
    for (const QJsonValue &entry : entries) {
        const QJsonArray actions = entry.toObject().value(QStringLiteral("actions")).toArray();
        for (const QJsonValue &action : actions)
            predicted << action.toString();
    }
    QCOMPARE(predicted, installSteps(installed.out));
}

void tst_CashPkg::checkFindsWhatOtherToolsWrite_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments"); // run in src/, writing ../p
    QTest::addColumn<bool>("withTarget"); // a target holding bin/app.exe already
    QTest::addColumn<QStringList>("codes");
    QTest::addColumn<int>("status");

    const QString python =
        QStringLiteral("import tarfile\n"
                       "with tarfile.open('../p', 'w:gz', format=tarfile.PAX_FORMAT) as t:\n"
                       "    t.add('.')\n");
    QTest::newRow("GNU tar, long names and links")
        << "tar" << list({ "--format=gnu", "-czf", "../p", "." }) << false
        << list({ "dot-slash", "gnu-long-name", "link", "lost-name" }) << 1;
    QTest::newRow("ustar, long name in the prefix")
        << "tar" << list({ "--format=ustar", "-czf", "../p", "." }) << false
        << list({ "dot-slash", "link", "long-name" }) << 1;
    QTest::newRow("Python, pax") << "python3" << QStringList { QStringLiteral("-c"), python }
                                 << false
                                 << list({ "dot-slash", "link", "lost-name", "pax-header" }) << 1;
    QTest::newRow("GNU tar, one file, no directory entries")
        << "tar" << list({ "-czf", "../p", "bin/app.exe" }) << true << list({ "backup-fails" })
        << 0;
}

void tst_CashPkg::checkFindsWhatOtherToolsWrite()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(bool, withTarget);

    if (QStandardPaths::findExecutable(program).isEmpty())
        QSKIP(qPrintable(program + QLatin1String(" is not installed")));
    const QString longName =
        QString(60, QLatin1Char('d')) + QLatin1Char('/') + QString(60, QLatin1Char('f'));
    QVERIFY(create({ QStringLiteral("src/bin/app.exe=#2000"), QStringLiteral("src/readme=r"),
        QStringLiteral("src/") + longName + QLatin1String("=long"),
        QStringLiteral("src/link->readme"), QStringLiteral("t/bin/app.exe=old") }));
    QProcess tool;
    tool.setWorkingDirectory(path(QStringLiteral("src")));
    tool.start(program, arguments);
    QVERIFY2(tool.waitForFinished(60000) && tool.exitCode() == 0,
        tool.readAllStandardError().constData());

    QStringList options { QStringLiteral("p") };
    if (withTarget)
        options << QStringLiteral("--target") << QStringLiteral("t");
    int status = -1;
    const QJsonObject report = check(options, &status);
    QTEST(codes(report), "codes");
    QTEST(status, "status");
    QVERIFY(report.value(QStringLiteral("installs")).toBool());
}

void tst_CashPkg::buildIsDeterministic()
{
    // The same tree made twice, in another order and with other times and permissions.
    const QStringList files = list({ "b/z=#3000", "b/a=1", "a/x/", "c=#512", "b/m/n=2" });
    QStringList first;
    QStringList second;
    for (const QString &file : files)
        first << QStringLiteral("one/") + file;
    for (auto it = files.crbegin(); it != files.crend(); ++it)
        second << QStringLiteral("two/") + *it;
    QVERIFY(create(first));
    QTest::qSleep(1100);
    QVERIFY(create(second));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("two/c")), QFile::ReadOwner));

    for (const bool zlib : { false, true }) {
        const QStringList extra = zlib ? list({ "--zlib" }) : QStringList();
        QCOMPARE(cashpkg(list({ "build", "one", "-o", "p1" }) + extra).status, 0);
        QCOMPARE(cashpkg(list({ "build", "two", "-o", "p2" }) + extra).status, 0);
        QCOMPARE(readFile(path(QStringLiteral("p1"))), readFile(path(QStringLiteral("p2"))));
    }
}

void tst_CashPkg::buildRefuses_data()
{
    QTest::addColumn<QStringList>("source"); // below "src/"
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");

    const QString longName =
        QString(50, QLatin1Char('d')) + QLatin1Char('/') + QString(50, QLatin1Char('f'));
    const auto row = [](const char *label, const QStringList &source, const QString &message,
                         const char *output = "p") {
        QTest::newRow(label) << source << QString::fromLatin1(output) << message;
    };
    row("symbolic link", list({ "a=1", "l->a" }), "'l' is a link");
    row("dangling link", list({ "l->nowhere" }), "'l' is a link");
    row("fifo", list({ "f|" }), "'f' is not a regular file");
    row("101-byte name", { longName + QLatin1String("=x") },
        QStringLiteral("'%1' is 101 bytes long; a name holds at most 100").arg(longName));
    row("device name", list({ "aux.txt=1" }), "'aux.txt' is a name the installer refuses");
    row("letter case", list({ "A/", "a=1" }), "'A/' and 'a' differ only in letter case");
    row("package inside the source", list({ "a=1" }), "would be inside the source directory",
        "src/p");
    row("missing source", {}, "'src' is not a directory");
}

void tst_CashPkg::buildRefuses()
{
    QFETCH(QStringList, source);
    QFETCH(QString, output);
    QFETCH(QString, message);
    if (!makeTree(path(QStringLiteral("src")), source))
        QSKIP("links or fifos cannot be made here");
    // An earlier package stays as it was.
    QVERIFY(writeFile(path(output), "earlier"));

    const Result result = cashpkg(list({ "build", "src", "-o" }) << output);
    QCOMPARE(result.status, 1);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(readFile(path(output)), QByteArray("earlier"));
    // No temporary file is left beside it either.
    const QString name = QFileInfo(output).fileName();
    QCOMPARE(
        QDir(QFileInfo(path(output)).path()).entryList({ name + QLatin1Char('*') }, QDir::Files),
        QStringList { name });
}

void tst_CashPkg::signedPackages_data()
{
    QTest::addColumn<QString>("key"); // what t/update-key.pub is
    QTest::addColumn<QString>("signature"); // what p.sig is
    QTest::addColumn<QString>("code"); // check's finding; empty: the package installs
    QTest::addColumn<QString>("line"); // in the installer's refusal

    const QString wrong = QString::fromUtf8("подпись 'p.sig' не подходит к пакету и ключу");
    const QString refused = QString::fromUtf8("Ключ подписи пакетов обновления '");
    const auto row = [](const char *label, const char *key, const char *signature,
                         const char *code = "", const QString &line = QString()) {
        QTest::newRow(label) << QString::fromLatin1(key) << QString::fromLatin1(signature)
                             << QString::fromLatin1(code) << line;
    };
    row("no key, signed with another key", "none", "other");
    row("trusted key, valid signature", "trusted", "valid");
    row("signed with another key", "trusted", "other", "signature-wrong", wrong);
    row("package changed after signing", "trusted", "changed", "signature-wrong", wrong);
    row("no signature", "trusted", "missing", "signature-missing",
        QString::fromUtf8("нет файла подписи 'p.sig'"));
    row("signature not base64", "trusted", "malformed", "signature-malformed",
        QString::fromUtf8("нет подписи Ed25519 в base64"));
    row("key writable by everyone", "writable", "valid", "key-refused", refused);
    row("key's directory writable by everyone", "open directory", "valid", "key-refused", refused);
    row("key of another user", "foreign", "valid", "key-refused", refused);
    row("key is a link", "link", "valid", "key-refused", refused);
    row("key file without a key", "malformed", "valid", "key-refused", refused);
}

void tst_CashPkg::signedPackages()
{
    QFETCH(QString, key);
    QFETCH(QString, signature);
    QFETCH(QString, code);

    QVERIFY(create(list({ "keys/", "src/readme.txt=new", "t/readme.txt=old", "t/backup/" })));
    QCOMPARE(cashpkg(list({ "keygen", "keys/signing.key" })).status, 0);
    QCOMPARE(cashpkg(list({ "keygen", "other.key", "--public", "other.pub" })).status, 0);
    // Nobody but its owner may read a private key.
    const QFile::Permissions others =
        QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QVERIFY(!(QFile::permissions(path(QStringLiteral("keys/signing.key"))) & others)
        || QSysInfo::productType() == QLatin1String("windows"));

    const QString signer = signature == QLatin1String("other") ? "other.key" : "keys/signing.key";
    QCOMPARE(cashpkg(list({ "build", "src", "-o", "p", "--sign" }) << signer).status, 0);
    if (signature == QLatin1String("changed")) {
        QVERIFY(writeFile(path(QStringLiteral("src/readme.txt")), "forged"));
        QCOMPARE(cashpkg(list({ "build", "src", "-o", "p" })).status, 0);
    } else if (signature == QLatin1String("missing")) {
        QVERIFY(QFile::remove(path(QStringLiteral("p.sig"))));
    } else if (signature == QLatin1String("malformed")) {
        QVERIFY(writeFile(path(QStringLiteral("p.sig")), "not a signature\n"));
    }

    const QString installed = path(QStringLiteral("t/update-key.pub"));
    const QString trusted = path(QStringLiteral("keys/update-key.pub"));
    QString why;
    if (key == QLatin1String("link")) {
        if (!makeLink(trusted, installed, &why))
            QSKIP(qPrintable(why));
    } else if (key == QLatin1String("malformed")) {
        QVERIFY(writeFile(installed, "ed25519 c2hvcnQ=\n"));
    } else if (key != QLatin1String("none")) {
        QVERIFY(QFile::copy(trusted, installed));
    }
    if ((key == QLatin1String("writable") && !letEveryoneWrite(installed, &why))
        || (key == QLatin1String("open directory")
            && !letEveryoneWrite(path(QStringLiteral("t")), &why))
        || (key == QLatin1String("foreign") && !giveToAnotherUser(installed, &why))) {
        QSKIP(qPrintable(why));
    }

    // check predicts the installer's verdict; a refused package leaves the tree as it was.
    const QStringList before = tree(path(QStringLiteral("t")));
    int checked = -1;
    const QJsonObject report = check(list({ "p", "--target", "t" }), &checked);
    QCOMPARE(codes(report), code.isEmpty() ? QStringList() : QStringList { code });
    const Result result = cashpkg(list({ "install", "p", "--target", "t" }));
    QCOMPARE(result.status, checked);
    QCOMPARE(result.status == 0, code.isEmpty());
    if (code.isEmpty()) {
        QCOMPARE(readFile(path(QStringLiteral("t/readme.txt"))), QByteArray("new"));
    } else {
        QFETCH(QString, line);
        QVERIFY2(result.out.contains(line), qPrintable(result.out));
        QCOMPARE(tree(path(QStringLiteral("t"))), before);
    }

    // --key checks the signature alone, as if that key were installed.
    if (key == QLatin1String("trusted") || key == QLatin1String("none")) {
        int status = -1;
        check(list({ "p", "--key", "keys/update-key.pub" }), &status);
        QCOMPARE(status == 0, signature == QLatin1String("valid"));
    }
}

void tst_CashPkg::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // in standard output, or else standard error

    QTest::newRow("no command") << QStringList() << 2 << "Usage: cashpkg COMMAND";
    QTest::newRow("help") << list({ "--help" }) << 0 << "Commands:";
    QTest::newRow("unknown command")
        << list({ "frobnicate" }) << 2 << "unknown command 'frobnicate'";
    for (const char *command : { "check", "build", "install", "rollback", "recover", "keygen" }) {
        QTest::addRow("%s --help", command)
            << list({ command, "--help" }) << 0 << QStringLiteral("Exit status: 0");
    }
    QTest::newRow("unknown option") << list({ "check", "p", "--frob" }) << 2 << "frob";
    QTest::newRow("two packages") << list({ "check", "p", "q" }) << 2 << "too many arguments";
    QTest::newRow("install without target") << list({ "install", "p" }) << 2 << "--target";
    QTest::newRow("rollback without backup")
        << list({ "rollback", "p", "--target", "t" }) << 2 << "--backup";
    QTest::newRow("build without output") << list({ "build", "src" }) << 2 << "-o PACKAGE";
    QTest::newRow("recover without target") << list({ "recover" }) << 2 << "--target";
    QTest::newRow("recover, no journal")
        << list({ "recover", "--target", "." }) << 0 << "no interrupted installation";
    QTest::newRow("keygen over an existing file")
        << list({ "keygen", "." }) << 1 << "it is not overwritten";
    QTest::newRow("build, signing key missing")
        << list({ "build", ".", "-o", "../p", "--sign", "missing" }) << 1
        << "cannot read the private key";
    QTest::newRow("check, key file without a key")
        << list({ "check", "p", "--key", "." }) << 2 << "is no public key file";
    QTest::newRow("check, missing package")
        << list({ "check", "missing" }) << 1 << "cannot be opened";
    QTest::newRow("install, missing package")
        << list({ "install", "missing", "--target", "." }) << 1
        << QString::fromUtf8("Не удалось открыть файл обновления 'missing'");
}

void tst_CashPkg::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);

    const Result result = cashpkg(arguments);
    QTEST(result.status, "status");
    QVERIFY2((result.out + result.err).contains(output), qPrintable(result.out + result.err));
}

QTEST_GUILESS_MAIN(tst_CashPkg)
#include "tst_cashpkg.moc"
