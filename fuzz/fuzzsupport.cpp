#include "fuzzsupport.h"

#include "log/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir *scratch = nullptr;

} // namespace

void initFuzzing(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);

    const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    scratch = new QTemporaryDir(base + QStringLiteral("/lcsfuzz-XXXXXX"));
    if (!scratch->isValid())
        fuzzFailure("cannot create the scratch directory");
    std::atexit([] { delete scratch; });

    const QString logDirectory = scratch->filePath(QStringLiteral("log"));
    if (!QDir().mkpath(logDirectory)
        || !QFile::link(QStringLiteral("/dev/null"), logDirectory + QStringLiteral("/fuzz.log"))) {
        fuzzFailure("cannot point the log at /dev/null");
    }
    Log::setDirectory(logDirectory);
    Log::setBaseName(QStringLiteral("fuzz"));
    Log::setLevel(Log::Debug);
}

QString scratchDirectory()
{
    return scratch->path();
}

void fuzzFailure(const char *what)
{
    std::fprintf(stderr, "FUZZ FAILURE: %s\n", what);
    std::abort();
}

void writeScratchFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()
        || !file.flush()) {
        fuzzFailure("cannot write a scratch file");
    }
}
