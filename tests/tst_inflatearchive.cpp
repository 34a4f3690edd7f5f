#include "tarbuilder.h"
#include "update/inflatearchive.h"

#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// gcc announces AddressSanitizer with a macro, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define LCS_ADDRESS_SANITIZER
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LCS_ADDRESS_SANITIZER
#endif
#endif

namespace {

#ifdef Q_OS_UNIX
// Runs check in a child process (so that limits set there stay there); true when it returned true.
template <typename Check> bool passesInChild(Check check)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(check() ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}
#endif

} // namespace

Q_DECLARE_METATYPE(InflateEnd)

class tst_InflateArchive : public QObject
{
    Q_OBJECT

private slots:
    void inflate_data();
    void inflate();
    void growthPastLimit();
    void failedAllocation();
};

void tst_InflateArchive::inflate_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("prefixOnly"); // how far zlib gets into a cut stream is its own affair
    QTest::addColumn<InflateEnd>("end");

    const QByteArray tar = TarBuilder().file("a.txt", patternData(5000)).end().tar();
    const QByteArray gzip = gzipCompressed(tar);
    const QByteArray zlib = zlibCompressed(tar);
    const QByteArray one = zlibCompressed("a"); // zlib header and 3 deflate bytes for "a"
    QVERIFY(!gzip.isEmpty() && !zlib.isEmpty() && one.size() > 5);

    QTest::newRow("gzip") << gzip << tar << false << InflateEnd::Complete;
    QTest::newRow("zlib") << zlib << tar << false << InflateEnd::Complete;
    QTest::newRow("empty input") << QByteArray() << QByteArray() << false << InflateEnd::Failed;
    QTest::newRow("4 bytes not given to zlib")
        << one.left(4) << QByteArray() << false << InflateEnd::Failed;
    QTest::newRow("5 bytes given to zlib")
        << one.left(5) << QByteArray("a") << false << InflateEnd::CutShort;
    QTest::newRow("plain tar") << tar << QByteArray() << false << InflateEnd::Failed;
    QTest::newRow("empty stream") << gzipCompressed(QByteArray()) << QByteArray() << false
                                  << InflateEnd::Complete;
    QTest::newRow("cut short gives the prefix")
        << gzip.left(gzip.size() / 2) << tar << true << InflateEnd::CutShort;
    QTest::newRow("second gzip member ignored")
        << gzip + gzipCompressed("more") << tar << false << InflateEnd::Complete;
    QTest::newRow("trailing garbage ignored")
        << zlib + QByteArray("garbage") << tar << false << InflateEnd::Complete;

    QByteArray reservedBlock = gzip;
    reservedBlock[10] = char(0x07); // final block of the reserved type 3
    QTest::newRow("corrupt data") << reservedBlock << QByteArray() << false << InflateEnd::Failed;
    QByteArray badAdler = zlib;
    badAdler[badAdler.size() - 1] = char(badAdler.at(badAdler.size() - 1) ^ 0x55);
    QTest::newRow("bad check value drops decoded bytes")
        << badAdler << QByteArray() << false << InflateEnd::Failed;

    // FDICT set: 0x78 0xbb passes the header check (0x78bb % 31 == 0).
    QTest::newRow("preset dictionary") << QByteArray("\x78\xbb\x00\x00\x00\x01\x4b\x04\x00", 9)
                                       << QByteArray() << false << InflateEnd::Failed;
    QTest::newRow("gzip without its trailer")
        << gzip.left(gzip.size() - 8) << tar << false << InflateEnd::CutShort;
}

void tst_InflateArchive::inflate()
{
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, expected);
    QFETCH(bool, prefixOnly);
    QFETCH(InflateEnd, end);
    InflateEnd reached = InflateEnd::Complete;
    const QByteArray result = inflateArchive(package, &reached);
    QCOMPARE(int(reached), int(end));
    if (prefixOnly)
        QVERIFY(
            !result.isEmpty() && expected.startsWith(result) && result.size() < expected.size());
    else
        QCOMPARE(result, expected);
}

void tst_InflateArchive::growthPastLimit()
{
    // 2 GiB of zeros: one byte more than the limit allows.
    const QByteArray bomb = zeroBomb(128);
    QVERIFY(!bomb.isEmpty());
    InflateEnd end = InflateEnd::Complete;
    QVERIFY(inflateArchive(bomb, &end).isEmpty());
    QCOMPARE(int(end), int(InflateEnd::TooLarge));
    QVERIFY(!inflateArchive(zeroBomb(2)).isEmpty());
}

void tst_InflateArchive::failedAllocation()
{
#if defined(LCS_ADDRESS_SANITIZER)
    QSKIP("AddressSanitizer reserves more address space than the limit allows");
#elif defined(Q_OS_UNIX)
    const QByteArray bomb = zeroBomb(64); // 1 GiB
    QVERIFY(!bomb.isEmpty());
    const bool emptyResult = passesInChild([&bomb] {
        const rlimit limit = { 512 << 20, RLIM_INFINITY };
        return setrlimit(RLIMIT_AS, &limit) == 0 && inflateArchive(bomb).isEmpty();
    });
    QVERIFY2(emptyResult, "the child crashed or returned data beyond its memory");
#else
    QSKIP("address-space limits are set with setrlimit, which this platform lacks");
#endif
}

QTEST_GUILESS_MAIN(tst_InflateArchive)
#include "tst_inflatearchive.moc"
