#include "log/log.h"
#include "tarbuilder.h"
#include "testutil.h"
#include "update/tinytarunpacker.h"

#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#ifdef Q_OS_LINUX
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// File systems handed to syncfs(), and the error it is to fail with (0: none).
QList<dev_t> syncedFileSystems;
int syncfsError = 0;
} // namespace

// This program's own syncfs() takes the place of the C library's for the installer linked into
// it: it records what would be flushed, then flushes it for real or fails as asked.
extern "C" int syncfs(int fd) noexcept
{
    struct stat status = {};
    if (fstat(fd, &status) == 0)
        syncedFileSystems << status.st_dev;
    if (syncfsError != 0) {
        errno = syncfsError;
        return -1;
    }
    using Syncfs = int (*)(int);
    static const auto real = reinterpret_cast<Syncfs>(dlsym(RTLD_NEXT, "syncfs"));
    return real ? real(fd) : -1;
}
#endif

class tst_DurableInstall : public QObject
{
    Q_OBJECT

private slots:
    void flushBeforeReturning_data();
    void flushBeforeReturning();
};

void tst_DurableInstall::flushBeforeReturning_data()
{
    QTest::addColumn<QByteArray>("package"); // null: no package file
    QTest::addColumn<bool>("backupElsewhere"); // backup tree in a second temporary directory
    QTest::addColumn<int>("error"); // what syncfs fails with
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("flushed");
    QTest::addColumn<QString>("lastLine"); // "" when the last line is the installer's own

    const QByteArray tar =
        TarBuilder().directory("d/").file("d/a", "hello").file("b", "x").end().tar();
    QTest::newRow("installed") << gzipCompressed(tar) << false << 0 << true << true << QString();
    QTest::newRow("backup tree elsewhere")
        << gzipCompressed(tar) << true << 0 << true << true << QString();
    // What was installed before the failure stays installed, and so must survive a power cut.
    QTest::newRow("failed after some entries")
        << gzipCompressed(tar.left(tar.size() - 1024)) << false << 0 << false << true << QString();
    // The backup root was created before the package could not be opened.
    QTest::newRow("package missing") << QByteArray() << false << 0 << false << true << QString();
    // The files are in place and the new program will read them: the restart goes ahead, and the
    // log says that a power cut could still cost them.
    QTest::newRow("flush fails")
        << gzipCompressed(tar) << false << EIO << true << true
        << QStringLiteral("WARN; TinyTarUnpackerPrivate::unpack; Не удалось сбросить на диск "
                          "установленные файлы: syncfs('@'): Input/output error");
}

void tst_DurableInstall::flushBeforeReturning()
{
#ifdef Q_OS_LINUX
    QFETCH(QByteArray, package);
    QFETCH(bool, backupElsewhere);
    QFETCH(int, error);
    QFETCH(bool, result);
    QFETCH(bool, flushed);
    QFETCH(QString, lastLine);

    QTemporaryDir dir;
    QTemporaryDir elsewhere(QDir::currentPath() + QStringLiteral("/backup-XXXXXX"));
    QVERIFY(dir.isValid() && elsewhere.isValid());
    Log::setDirectory(dir.filePath(QStringLiteral("log")));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);
    const QString target = dir.filePath(QStringLiteral("t"));
    const QString backup = (backupElsewhere ? elsewhere.path() : dir.path()) + QStringLiteral("/b");
    QVERIFY(QDir().mkpath(target));
    if (!package.isNull())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("pkg")), package));

    syncedFileSystems.clear();
    syncfsError = error;
    TinyTarUnpacker unpacker(dir.filePath(QStringLiteral("pkg")), target, backup);
    const bool installed = unpacker.unpack();
    syncfsError = 0;
    QCOMPARE(installed, result);

    // One flush for each file system written to, whatever the number of files.
    QSet<dev_t> expected;
    for (const QString &path : { target, backup }) {
        struct stat status = {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &status) == 0);
        expected << status.st_dev;
    }
    QCOMPARE(syncedFileSystems.size(), flushed ? expected.size() : 0);
    if (flushed)
        QCOMPARE(QSet<dev_t>(syncedFileSystems.begin(), syncedFileSystems.end()), expected);

    const QStringList lines = logEntries(dir.filePath(QStringLiteral("log/localserver.log")));
    QVERIFY(!lines.isEmpty());
    QString last = lines.last();
    last.replace(
        QRegularExpression(QStringLiteral("syncfs\\('[^']*'\\)")), QStringLiteral("syncfs('@')"));
    if (lastLine.isEmpty())
        QVERIFY2(!last.contains(QLatin1String("сбросить")), qPrintable(last));
    else
        QCOMPARE(last, lastLine);
#else
    QSKIP("the flush is observed through syncfs(), which only Linux has");
#endif
}

QTEST_GUILESS_MAIN(tst_DurableInstall)
#include "tst_durableinstall.moc"
