#include "tarbuilder.h"
#include "testutil.h"
#include "update/inflatearchive_p.h"

#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
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
    QTest::addColumn<bool>("fast"); // read by the fast path (the rest falls back to zlib)

    const QByteArray tar = TarBuilder().file("a.txt", patternData(5000)).end().tar();
    const QByteArray gzip = gzipCompressed(tar);
    const QByteArray zlib = zlibCompressed(tar);
    const QByteArray one = zlibCompressed("a"); // zlib header and 3 deflate bytes for "a"
    QVERIFY(!gzip.isEmpty() && !zlib.isEmpty() && one.size() > 5);
    // Many blocks with their own codes, matches reaching back into earlier blocks, and stored
    // blocks between them.
    QByteArray text;
    for (int i = 0; i < 40000; ++i)
        text += QByteArray::number(i * 7919 % 1000) + (i % 3 ? " receipt total\n" : " till\n");
    const QByteArray blocks = text + patternData(200000) + text;

    const auto row = [](const char *name, const QByteArray &package, const QByteArray &expected,
                         InflateEnd end, bool fast, bool prefixOnly = false) {
        QTest::newRow(name) << package << expected << prefixOnly << end << fast;
    };
    const InflateEnd complete = InflateEnd::Complete;
    const InflateEnd failed = InflateEnd::Failed;
    const InflateEnd cutShort = InflateEnd::CutShort;
    row("gzip", gzip, tar, complete, true);
    row("zlib", zlib, tar, complete, true);
    row("many blocks", gzipCompressed(blocks, 9), blocks, complete, true);
    row("stored blocks", gzipCompressed(blocks, 0), blocks, complete, true);
    row("empty input", QByteArray(), QByteArray(), failed, false);
    row("4 bytes not given to zlib", one.left(4), QByteArray(), failed, false);
    row("5 bytes given to zlib", one.left(5), "a", cutShort, false);
    row("plain tar", tar, QByteArray(), failed, false);
    row("empty stream", gzipCompressed(QByteArray()), QByteArray(), complete, true);
    row("cut short gives the prefix", gzip.left(gzip.size() / 2), tar, cutShort, false, true);
    row("second gzip member ignored", gzip + gzipCompressed("more"), tar, complete, true);
    row("trailing garbage ignored", zlib + QByteArray("garbage"), tar, complete, true);

    QByteArray reservedBlock = gzip;
    reservedBlock[10] = char(0x07); // final block of the reserved type 3
    row("corrupt data", reservedBlock, QByteArray(), failed, false);
    QByteArray badAdler = zlib;
    badAdler[badAdler.size() - 1] = char(badAdler.at(badAdler.size() - 1) ^ 0x55);
    row("bad check value drops decoded bytes", badAdler, QByteArray(), failed, false);
    // FDICT set: 0x78 0xbb passes the header check (0x78bb % 31 == 0).
    row("preset dictionary", QByteArray("\x78\xbb\x00\x00\x00\x01\x4b\x04\x00", 9), QByteArray(),
        failed, false);
    row("gzip without its trailer", gzip.left(gzip.size() - 8), tar, cutShort, false);

    // Deflate data that other decoders read but zlib refuses, each with the check value of what
    // those decoders make of it. The first three: an empty block whose code has only the
    // end-of-block symbol, then a stored "hi"; zlib takes a single code of length 1 (as long as
    // only its bit 0 is met) but no other incomplete code. The last: the fixed code's length
    // symbol 286, which does not exist.
    const QByteArray gzipHeader("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    const QByteArray hi("\x02\x00\xfd\xff\x68\x69\xac\x2a\x93\xd8\x02\x00\x00\x00", 14);
    const auto deflate = [&](const char *bytes) { return gzipHeader + QByteArray(bytes, 12); };
    row("single code, its bit 0", deflate("\x04\xc0\x81\x08\x00\x00\x00\x00\x20\x7f\xeb\x13") + hi,
        "hi", complete, true);
    row("single code, its missing bit 1",
        deflate("\x04\xc0\x81\x08\x00\x00\x00\x00\x20\x7f\xeb\x1b") + hi, QByteArray(), failed,
        false);
    row("incomplete code", deflate("\x04\xc0\x81\x08\x00\x00\x00\x80\x00\x7f\xeb\x23") + hi,
        QByteArray(), failed, false);
    row("length symbol 286", deflate("\x4b\x1c\x03\x00\x56\xfa\xc2\x34\x03\x01\x00\x00"),
        QByteArray(), failed, false);
}

void tst_InflateArchive::inflate()
{
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, expected);
    QFETCH(bool, prefixOnly);
    QFETCH(InflateEnd, end);
    QFETCH(bool, fast);
    for (const bool reference : { false, true }) {
        InflateEnd reached = InflateEnd::Complete;
        const QByteArray result = reference ? inflateArchiveWithZlib(package, &reached)
                                            : inflateArchive(package, &reached);
        QCOMPARE(int(reached), int(end));
        if (prefixOnly)
            QVERIFY(!result.isEmpty() && expected.startsWith(result)
                && result.size() < expected.size());
        else
            QCOMPARE(result, expected);
    }
    QByteArray content;
    QCOMPARE(inflateArchiveFast(package, &content), fast);
    if (fast)
        QCOMPARE(content, expected);
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
#ifdef Q_OS_UNIX
    if (sanitizedBuild)
        QSKIP("AddressSanitizer reserves more address space than the limit allows");
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
