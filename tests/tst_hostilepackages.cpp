#include "log/log.h"
#include "supervisorprocess.h"
#include "tarbuilder.h"
#include "testutil.h"
#include "update/tinytarunpacker.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <zlib.h>

#include <algorithm>

namespace {

constexpr int linkNameField = 157; // the tar header's linkname: never read by our reader

// A file's content as the trees below show it: short text as it is, anything else by size and hash.
QString describe(const QByteArray &content)
{
    const bool text = content.size() <= 40
        && std::all_of(content.begin(), content.end(), [](char c) { return c >= ' ' && c < 127; });
    if (text)
        return QString::fromLatin1(content);
    return QStringLiteral("<%1 bytes %2>")
        .arg(content.size())
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex().left(8)));
}

// "dir/" for each directory, "file=content" for each file and "link->" for each link below root,
// sorted; entries whose first component is in skip are left out.
QStringList tree(const QString &root, const QStringList &skip = QStringList())
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(root).relativeFilePath(path);
        if (skip.contains(name.section(QLatin1Char('/'), 0, 0)))
            continue;
        if (it.fileInfo().isSymLink())
            entries << name + QLatin1String("->");
        else if (it.fileInfo().isDir())
            entries << name + QLatin1Char('/');
        else
            entries << name + QLatin1Char('=') + describe(readFile(path));
    }
    entries.sort();
    return entries;
}

QStringList list(std::initializer_list<const char *> items)
{
    QStringList strings;
    for (const char *item : items)
        strings << QString::fromUtf8(item);
    return strings;
}

// One pax extended-header record: its own length in decimal, a blank, key=value and a line feed.
QByteArray paxRecord(const QByteArray &key, const QByteArray &value)
{
    const QByteArray body = ' ' + key + '=' + value + '\n';
    int digits = 1;
    while (QByteArray::number(body.size() + digits).size() != digits)
        ++digits;
    return QByteArray::number(body.size() + digits) + body;
}

QByteArray headerWithLink(const QByteArray &name, char type, const QByteArray &linkName)
{
    QByteArray record = TarBuilder::header(name, 0, type);
    TarBuilder::setField(record, TarBuilder::Field(linkNameField), linkName);
    return record;
}

// Compresses a stream given piece by piece, so that a package of a million entries never needs
// its whole tar stream in memory here.
class GzipWriter
{
public:
    explicit GzipWriter(int strategy = Z_DEFAULT_STRATEGY)
    {
        ok = deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 9, strategy) == Z_OK;
    }
    ~GzipWriter() { deflateEnd(&stream); }

    void add(const QByteArray &data) { run(data, Z_NO_FLUSH); }
    // Full flushes make the pieces independent, so that one flushed piece can be repeated.
    QByteArray flushed(const QByteArray &data)
    {
        const int before = out.size();
        run(data, Z_FULL_FLUSH);
        return out.mid(before);
    }
    QByteArray output() const { return out; }
    QByteArray finish()
    {
        run(QByteArray(), Z_FINISH);
        return ok ? out : QByteArray();
    }

private:
    void run(const QByteArray &data, int flush)
    {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
        stream.avail_in = uInt(data.size());
        char buffer[1 << 16];
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            const int status = deflate(&stream, flush);
            ok = ok && (status == Z_OK || status == Z_STREAM_END || status == Z_BUF_ERROR);
            out.append(buffer, int(sizeof buffer - stream.avail_out));
        } while (ok && stream.avail_out == 0);
    }

    z_stream stream = {};
    QByteArray out;
    bool ok = false;
};

// A small package whose tar stream holds one file of 3 GiB of zeros, so that it inflates past the
// 2 GiB limit. Built from one flushed piece of 16 MiB of zeros repeated (compressing gigabytes
// here would take long), and without an end: the installer never gets that far.
QByteArray decompressionBomb()
{
    const QByteArray zeros(16 << 20, '\0');
    GzipWriter writer(Z_RLE); // long runs of one byte: the highest ratio deflate reaches
    writer.add(TarBuilder::header("big", quint64(3) << 30));
    static_cast<void>(writer.flushed(zeros));
    const QByteArray piece = writer.flushed(zeros);
    if (piece != writer.flushed(zeros))
        return QByteArray();
    QByteArray package = writer.output();
    for (int chunks = 3; chunks < 130; ++chunks)
        package += piece;
    return package;
}

} // namespace

// Packages built to hurt: names that climb out, links, forged sizes, bombs, masses of entries and
// the extension headers of other tar programs. Each is refused or installed as the reader
// defines it, nothing lands outside the target and backup trees, and the program stays up.
class tst_HostilePackages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void names_data();
    void names();
    void structure_data();
    void structure();
    void manyEntries_data();
    void manyEntries();
    void throughSupervisor_data();
    void throughSupervisor();

private:
    QString path(const QString &relative) const { return dir->filePath(relative); }
    bool install(const QByteArray &package);
    // The log as "LABEL text" with the temporary directory shown as "@".
    QStringList log() const;
    // Everything but the target, the backup tree, the package and the log.
    QStringList surroundings() const;

    QScopedPointer<QTemporaryDir> dir;
};

void tst_HostilePackages::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    // Sentinels around the target, where a name that escaped would land.
    for (const char *sentinel : { "sentinel", "outside/sentinel", "b-x/sentinel", "t-x/sentinel" })
        QVERIFY(writeFile(path(QLatin1String(sentinel)), "untouched"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("t"))));
    QVERIFY(QDir().mkpath(path(QStringLiteral("b"))));
    Log::setDirectory(path(QStringLiteral("log")));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);
}

bool tst_HostilePackages::install(const QByteArray &package)
{
    if (!writeFile(path(QStringLiteral("pkg")), package))
        return false;
    TinyTarUnpacker unpacker(
        path(QStringLiteral("pkg")), path(QStringLiteral("t")), path(QStringLiteral("b")));
    return unpacker.unpack();
}

QStringList tst_HostilePackages::log() const
{
    QStringList lines = logEntries(path(QStringLiteral("log/localserver.log")));
    for (QString &line : lines) {
        line.replace(QLatin1String("; TinyTarUnpackerPrivate::unpack; "), QLatin1String(" "));
        line.replace(dir->path(), QLatin1String("@"));
    }
    return lines;
}

QStringList tst_HostilePackages::surroundings() const
{
    return tree(dir->path(),
        { QStringLiteral("t"), QStringLiteral("b"), QStringLiteral("pkg"), QStringLiteral("log") });
}

void tst_HostilePackages::names_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("isDirectory");
    QTest::addColumn<QStringList>("installed"); // below t; empty: refused

    // The name classes the installer's own tests do not send through it already; whatever a
    // name means on Windows is refused here too, since packages travel between systems.
    const auto refused = [](const char *label, const QByteArray &name, bool isDirectory = false) {
        QTest::newRow(label) << name << isDirectory << QStringList();
    };
    refused("drive, absolute", "C:/outside/sentinel");
    refused("drive, relative", "C:sentinel");
    refused("UNC path", "\\\\server\\share\\sentinel");
    refused("climbing directory", "a/../../outside/", true);
    refused("climbing at the end", "a/..", true);
    refused("control character", "a\tb");
    refused("C1 control character",
        "a\xc2\x85"
        "b");
    refused("alternate data stream", "file.txt:stream");
    refused("component ending in a dot", "dir./a");
    refused("component ending in a blank", "dir /a");
    refused("device name deeper down", "bin/COM1.log");
    refused("device name, superscript digit", "LPT\xc2\xb9");
    refused("only dots, as a file", "./.");

    // Odd but harmless: installed below the target under the name as read.
    QTest::newRow("place markers") << QByteArray("%1%2.txt") << false << list({ "%1%2.txt=data" });
    QTest::newRow("doubled separators") << QByteArray("d//e/") << true << list({ "d/", "d/e/" });
    // Invalid UTF-8 for ".." decodes to replacement characters, which climb nowhere.
    QTest::newRow("overlong dots") << QByteArray("\xc0\xae\xc0\xae/") << true
                                   << QStringList(QString::fromUtf8("\xc0\xae\xc0\xae/"));
    QTest::newRow("100 characters, no NUL") << QByteArray(
        100, 'n') << false << QStringList(QString(100, QLatin1Char('n')) + QStringLiteral("=data"));
}

void tst_HostilePackages::names()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, isDirectory);
    QFETCH(QStringList, installed);

    const QStringList before = surroundings();
    TarBuilder tar;
    tar.file("first.txt", "1");
    if (isDirectory)
        tar.directory(name);
    else
        tar.file(name, "data");
    const bool result = install(gzipCompressed(tar.file("last.txt", "2").end().tar()));

    QCOMPARE(surroundings(), before);
    QStringList inTarget = tree(path(QStringLiteral("t")));
    if (installed.isEmpty()) {
        QVERIFY(!result);
        QCOMPARE(inTarget, list({ "first.txt=1" }));
        // The log stores Windows-1251: characters it lacks read back as "?".
        const QString stored = fromCp1251(
            QTextCodec::codecForName("Windows-1251")->fromUnicode(QString::fromUtf8(name)));
        QCOMPARE(log().last(),
            QStringLiteral("ERRR Недопустимое имя файла в пакете обновления: '%1'.").arg(stored));
    } else {
        QVERIFY(result);
        installed << QStringLiteral("first.txt=1") << QStringLiteral("last.txt=2");
        installed.sort();
        QCOMPARE(inTarget, installed);
    }
}

void tst_HostilePackages::structure_data()
{
    QTest::addColumn<QStringList>("existing"); // "path=content" below the temporary directory
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("target");
    QTest::addColumn<QStringList>("backup");
    QTest::addColumn<QString>("lastLine"); // "*" ends in the system's text
    // Where the file system ignores case, when that makes a difference.
    QTest::addColumn<QStringList>("targetIgnoringCase");

    // Links are never made: a link entry becomes an empty file, so nothing can be written
    // through it, not even by the entries that follow.
    QTest::newRow("link entry, then a file below it")
        << QStringList()
        << gzipCompressed(TarBuilder()
                              .entry(headerWithLink("l", '2', "../outside"))
                              .file("l/sentinel", "evil")
                              .end()
                              .tar())
        << false << list({ "l=" }) << QStringList()
        << QStringLiteral("ERRR Не удалось открыть файл '@/t/l/sentinel': (5) *") << QStringList();
    QTest::newRow("link entry, then a directory below it")
        << QStringList()
        << gzipCompressed(
               TarBuilder().entry(headerWithLink("l", '2', "/")).directory("l/etc/").end().tar())
        << false << list({ "l=" }) << QStringList()
        << QStringLiteral("WARN Не удалось создать путь '@/t/l/etc/'") << QStringList();
    QTest::newRow("hard link to a file outside")
        << QStringList()
        << gzipCompressed(TarBuilder().entry(headerWithLink("h", '1', "../sentinel")).end().tar())
        << true << list({ "h=" }) << QStringList()
        << QStringLiteral("INFO Распаковка файла '@/t/h'") << QStringList();

    // A size in base-256 (high bit set) is no octal number: the header is invalid.
    QByteArray base256 = TarBuilder::header("huge", 0);
    TarBuilder::setField(base256, TarBuilder::Size, QByteArray("\x80\0\0\0\0\0\0\x02\0\0\0\0", 12));
    QTest::newRow("size in base-256")
        << QStringList() << gzipCompressed(TarBuilder().file("a", "1").entry(base256).end().tar())
        << false << list({ "a=1" }) << QStringList()
        << QStringLiteral("INFO Распаковка файла '@/t/a'") << QStringList();

    // The backup keeps what was there before the package, however often the package names it.
    QTest::newRow("duplicate entries")
        << list({ "t/a.txt=old" })
        << gzipCompressed(TarBuilder()
                              .file("a.txt", "v1")
                              .file("./a.txt", "v2")
                              .file("a.txt", "v3")
                              .end()
                              .tar())
        << true << list({ "a.txt=v3" }) << list({ "a.txt=old" })
        << QStringLiteral("INFO Распаковка файла '@/t/a.txt'") << QStringList();
    // On a file system that ignores case both names are one file (see the test).
    QTest::newRow("names differing only in case")
        << list({ "t/readme.txt=old" })
        << gzipCompressed(
               TarBuilder().file("README.TXT", "upper").file("readme.txt", "lower").end().tar())
        << true << list({ "README.TXT=upper", "readme.txt=lower" }) << list({ "readme.txt=old" })
        << QStringLiteral("INFO Распаковка файла '@/t/readme.txt'") << list({ "readme.txt=lower" });

    // Extension headers are files under their own names; the long names and paths they carry
    // are never used, so they cannot lead anywhere.
    const QByteArray longName = QByteArray(150, 'x') + "/../../../outside/sentinel";
    QTest::newRow("GNU long name")
        << QStringList()
        << gzipCompressed(TarBuilder()
                              .file("././@LongLink", longName + '\0', 'L')
                              .file(longName.left(100), "evil")
                              .end()
                              .tar())
        << true
        << (QStringList() << QStringLiteral("@LongLink=") + describe(longName + '\0')
                          << QString(100, QLatin1Char('x')) + QStringLiteral("=evil"))
        << QStringList()
        << QStringLiteral("INFO Распаковка файла '@/t/%1'").arg(QString(100, QLatin1Char('x')))
        << QStringList();
    QTest::newRow("GNU long link target")
        << QStringList()
        << gzipCompressed(TarBuilder()
                              .file("././@LongLink", "/etc/shadow", 'K')
                              .entry(headerWithLink("l", '2', "/etc/shad"))
                              .end()
                              .tar())
        << true << list({ "@LongLink=/etc/shadow", "l=" }) << QStringList()
        << QStringLiteral("INFO Распаковка файла '@/t/l'") << QStringList();
    const QByteArray pax = paxRecord("path", "../../outside/sentinel") + paxRecord("linkpath", "/");
    QTest::newRow("pax headers, named as Python names them")
        << QStringList()
        << gzipCompressed(TarBuilder()
                              .file("pax_global_header", paxRecord("path", "/etc"), 'g')
                              .file("././@PaxHeader", pax, 'x')
                              .file("innocent", "evil")
                              .end()
                              .tar())
        << true
        << (QStringList() << QStringLiteral("@PaxHeader=") + describe(pax)
                          << QStringLiteral("innocent=evil")
                          << QStringLiteral("pax_global_header=")
                   + describe(paxRecord("path", "/etc")))
        << QStringList() << QStringLiteral("INFO Распаковка файла '@/t/innocent'") << QStringList();
    // GNU tar puts its pax headers in a directory that no entry makes.
    QTest::newRow("pax header, named as GNU tar names it")
        << QStringList()
        << gzipCompressed(TarBuilder()
                              .file("./PaxHeaders/innocent", pax, 'x')
                              .file("innocent", "evil")
                              .end()
                              .tar())
        << false << QStringList() << QStringList()
        << QStringLiteral("ERRR Не удалось открыть файл '@/t/./PaxHeaders/innocent': (5) *")
        << QStringList();
}

void tst_HostilePackages::structure()
{
    QFETCH(QStringList, existing);
    QFETCH(QByteArray, package);
    QFETCH(QStringList, target);
    QFETCH(QStringList, backup);
    QFETCH(QString, lastLine);
    QFETCH(QStringList, targetIgnoringCase);

    for (const QString &file : existing)
        QVERIFY(writeFile(path(file.section(QLatin1Char('='), 0, 0)),
            file.section(QLatin1Char('='), 1).toUtf8()));
    QVERIFY(writeFile(path(QStringLiteral("t/CaseProbe")), QByteArray()));
    const bool foldCase =
        !targetIgnoringCase.isEmpty() && QFile::exists(path(QStringLiteral("t/caseprobe")));
    QVERIFY(QFile::remove(path(QStringLiteral("t/CaseProbe"))));
    // Which spelling such a file system keeps is its own affair.
    const auto spelling = [foldCase](QStringList entries) {
        if (foldCase) {
            for (QString &entry : entries)
                entry = entry.toLower();
        }
        return entries;
    };
    if (foldCase)
        target = targetIgnoringCase;
    const QStringList before = surroundings();

    QTEST(install(package), "result");
    QCOMPARE(surroundings(), before);
    QCOMPARE(spelling(tree(path(QStringLiteral("t")))), spelling(target));
    QCOMPARE(spelling(tree(path(QStringLiteral("b")))), spelling(backup));
    const QString last = log().last();
    if (lastLine.endsWith(QLatin1Char('*')))
        QVERIFY2(last.startsWith(lastLine.chopped(1)), qPrintable(last));
    else
        QCOMPARE(last, lastLine);
}

void tst_HostilePackages::manyEntries_data()
{
    QTest::addColumn<int>("entries");
    QTest::newRow("100,000 entries") << 100000;
    // Minutes of machine time and a million files: only when asked for (see docs/security.md).
    if (qEnvironmentVariableIsSet("LCS_MILLION_ENTRIES"))
        QTest::newRow("1,000,000 entries") << 1000000;
}

void tst_HostilePackages::manyEntries()
{
#ifndef Q_OS_UNIX
    QSKIP("the supervisor is driven with POSIX shells and /proc here");
#endif
    QFETCH(int, entries);

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    // Empty files, each a single header record; no end records, so that the supervisor does not
    // restart itself afterwards, having installed every entry.
    GzipWriter writer;
    for (int i = 0; i < entries; ++i)
        writer.add(TarBuilder::header("f" + QByteArray::number(i), 0));
    const QByteArray package = writer.finish();
    QVERIFY(!package.isEmpty());
    QVERIFY(writeFile(supervisor.path(QStringLiteral("update.tgz")), package));
    // The level a till runs at: no line per file.
    QVERIFY(supervisor.configure(QStringLiteral("[run 1]\nsend update update.tgz\nexit 0"), 5));
    QVERIFY(supervisor.start());

    QVERIFY(supervisor.waitForLog(QStringLiteral("обновления."), 10000));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(supervisor.send(QByteArray("\0\0\0\7", 4), 600000) == QByteArray("\0\2\0\7", 4));
    qInfo("%d entries in a package of %d bytes: installed in %lld ms (supervisor's main thread "
          "%lld ms on a processor), supervisor's peak memory %lld KiB",
        entries, int(package.size()), clock.elapsed(), supervisor.cpuMs(),
        supervisor.statusKb("VmHWM"));
    QVERIFY(supervisor.isRunning());
    QCOMPARE(supervisor.cashRuns(), 1);
    QVERIFY(QFile::exists(supervisor.path(QStringLiteral("f%1").arg(entries - 1))));
    QCOMPARE(
        QDir(supervisor.path()).entryList({ QStringLiteral("f*") }, QDir::Files).size(), entries);
}

void tst_HostilePackages::throughSupervisor_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QStringList>("lines"); // after the first; %1: the program's directory
    QTest::addColumn<int>("peakMiB"); // the supervisor's peak memory stays below it

    const QString file =
        QStringLiteral("INFO; TinyTarUnpackerPrivate::unpack; Распаковка файла '%1/%2'");
    QTest::newRow("climbing name")
        << gzipCompressed(
               TarBuilder().file("first.txt", "1").file("../sentinel", "evil").end().tar())
        << QStringList({ file.arg(QStringLiteral("%1"), QStringLiteral("first.txt")),
               QStringLiteral(
                   "ERRR; TinyTarUnpackerPrivate::unpack; Недопустимое имя файла в пакете "
                   "обновления: '../sentinel'.") })
        << 100;
    QTest::newRow("link entry, then a file below it")
        << gzipCompressed(TarBuilder()
                              .entry(headerWithLink("l", '2', ".."))
                              .file("l/sentinel", "evil")
                              .end()
                              .tar())
        << QStringList({ file.arg(QStringLiteral("%1"), QStringLiteral("l")),
               file.arg(QStringLiteral("%1"), QStringLiteral("l/sentinel")),
               QStringLiteral("ERRR; TinyTarUnpackerPrivate::unpack; Не удалось открыть файл "
                              "'%1/l/sentinel': (5) *") })
        << 100;
    // 8 GiB announced, two end records given: they are all the data there is.
    QByteArray forged = TarBuilder::header("huge", 0);
    TarBuilder::setField(forged, TarBuilder::Size, "77777777777");
    QTest::newRow("size 77777777777 in a 1 KB package")
        << gzipCompressed(TarBuilder().entry(forged).end().tar())
        << QStringList({ file.arg(QStringLiteral("%1"), QStringLiteral("huge")) }) << 100;
    QTest::newRow("decompression bomb") << decompressionBomb() << QStringList() << 2200;
}

void tst_HostilePackages::throughSupervisor()
{
#ifndef Q_OS_UNIX
    QSKIP("the supervisor is driven with POSIX shells and /proc here");
#endif
    QFETCH(QByteArray, package);
    QFETCH(QStringList, lines);
    QFETCH(int, peakMiB);
    QVERIFY(!package.isEmpty());

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    QVERIFY(writeFile(supervisor.path(QStringLiteral("update.tgz")), package));
    QVERIFY(writeFile(supervisor.outsidePath(QStringLiteral("sentinel")), "untouched"));
    QVERIFY(supervisor.configure(QStringLiteral("[run 1]\nsend update update.tgz\nexit 0"), 6));
    QVERIFY(supervisor.start());

    const QString stopped =
        QStringLiteral("NOTE; LocalCashServer:LocalCashServer::slotProcessFinished; "
                       "Процесс кассы остановлен для выполнения обновления.");
    QVERIFY(supervisor.waitForLog(stopped, 10000));
    QElapsedTimer clock;
    clock.start();
    // The installation holds the event loop: the answer comes when it is over.
    QCOMPARE(supervisor.send(QByteArray("\0\0\0\7", 4), 60000), QByteArray("\0\2\0\7", 4));
    const qint64 elapsed = clock.elapsed();
    const qint64 peak = supervisor.statusKb("VmHWM");
    qInfo("package of %d bytes: refused within %lld ms (supervisor's main thread %lld ms on a "
          "processor), supervisor's peak memory %lld KiB",
        int(package.size()), elapsed, supervisor.cpuMs(), peak);
    if (!sanitizedBuild)
        QVERIFY(peak > 0 && peak < qint64(peakMiB) << 10);

    QVERIFY(supervisor.isRunning());
    QCOMPARE(supervisor.cashRuns(), 1);
    QVERIFY(!QFile::exists(supervisor.path(QStringLiteral("bootstrap.sh"))));
    QCOMPARE(tree(supervisor.outsidePath(QString()), { QStringLiteral("app") }),
        list({ "sentinel=untouched" }));

    lines.prepend(QStringLiteral(
        "INFO; TinyTarUnpackerPrivate::unpack; Распаковка архива 'update.tgz' в '.'..."));
    const QStringList log = supervisor.log();
    const QStringList after = log.mid(log.indexOf(stopped) + 1);
    QCOMPARE(after.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString(lines.at(i)).replace(QLatin1String("%1"), supervisor.path());
        if (line.endsWith(QLatin1Char('*')))
            QVERIFY2(after.at(i).startsWith(line.chopped(1)), qPrintable(after.at(i)));
        else
            QCOMPARE(after.at(i), line);
    }
}

QTEST_GUILESS_MAIN(tst_HostilePackages)
#include "tst_hostilepackages.moc"
