// Measures what flushing an installation to disk costs: a seeded many-small-files package (5,000
// files of 1-64 KiB, log-uniform, in 100 nested directories, about 75 MB) is installed into each
// directory given, several rounds, and three ways side by side in each round:
//   none    the installer with syncfs(), fsync() and fdatasync() turned into no-ops (no
//           durability, no journal on the disk),
//   syncfs  the installer as shipped (the journal flushed when written and when marked complete;
//           one syncfs() per file system once the new files are written, one once they have
//           their names),
//   fsync   the installer without flush, then an fsync() of every file and directory it wrote
//           (what flushing each file as it is closed would cost).
// Not a test; run by hand: flushbench [ROUNDS] DIR...   Prints medians and ranges in ms.
#include "log/log.h"
#include "tarbuilder.h"
#include "update/tinytarunpacker.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <random>
#include <unistd.h>

namespace {
bool flushOff = false;
}

// Take the place of the C library's flushes for the installer linked into this program.
namespace {
int flush(const char *name, int fd)
{
    if (flushOff)
        return 0;
    using Flush = int (*)(int);
    const auto real = reinterpret_cast<Flush>(dlsym(RTLD_NEXT, name));
    return real ? real(fd) : -1;
}
} // namespace

extern "C" int syncfs(int fd) noexcept
{
    return flush("syncfs", fd);
}

extern "C" int fsync(int fd)
{
    return flush("fsync", fd);
}

extern "C" int fdatasync(int fd)
{
    return flush("fdatasync", fd);
}

namespace {

QByteArray manySmallFiles()
{
    std::mt19937 random(20240601);
    TarBuilder tar;
    QList<QByteArray> directories;
    for (int top = 0; top < 10; ++top) {
        const QByteArray parent = "app/d" + QByteArray::number(top) + '/';
        directories << parent;
        for (int sub = 0; sub < 9; ++sub)
            directories << parent + "s" + QByteArray::number(sub) + '/';
    }
    tar.directory("app/");
    for (const QByteArray &directory : directories)
        tar.directory(directory);
    std::uniform_int_distribution<int> pick(0, directories.size() - 1);
    std::uniform_real_distribution<double> logSize(std::log(1024.0), std::log(65536.0));
    const QByteArray filler = patternData(65536);
    for (int i = 0; i < 5000; ++i) {
        const int size = int(std::exp(logSize(random)));
        QByteArray data = filler.mid(int(random() % 1024), size);
        data.resize(size);
        tar.file(directories.at(pick(random)) + "f" + QByteArray::number(i) + ".bin", data);
    }
    const QByteArray stream = tar.end().tar();
    std::printf("package: 5000 files in %d directories, tar stream %lld bytes\n",
        int(directories.size()) + 1, qlonglong(stream.size()));
    return gzipCompressed(stream);
}

bool fsyncPath(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return synced;
}

bool fsyncTree(const QString &root)
{
    bool synced = fsyncPath(root);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        synced = fsyncPath(it.next()) && synced;
    return synced;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const int rounds =
        !arguments.isEmpty() && arguments.first().toInt() > 0 ? arguments.takeFirst().toInt() : 5;
    if (arguments.isEmpty()) {
        std::fprintf(stderr, "usage: flushbench [ROUNDS] DIR...\n");
        return 2;
    }
    Log::setBaseName(QString()); // no log I/O in the figures

    const QByteArray package = manySmallFiles();
    std::printf("package: %lld bytes compressed\n", qlonglong(package.size()));
    const char *const variants[] = { "none", "syncfs", "fsync" };
    for (const QString &base : std::as_const(arguments)) {
        QTemporaryDir dir(base + QStringLiteral("/flushbench-XXXXXX"));
        if (!dir.isValid()) {
            std::fprintf(stderr, "cannot create a directory in %s\n", qPrintable(base));
            return 1;
        }
        const QString packagePath = dir.filePath(QStringLiteral("pkg"));
        QFile file(packagePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(package) != package.size()) {
            std::fprintf(stderr, "cannot write the package\n");
            return 1;
        }
        file.close();

        std::map<int, std::vector<double>> times;
        for (int round = 0; round < rounds; ++round) {
            for (int v = 0; v < 3; ++v) {
                const int variant = (v + round) % 3; // no variant always comes first
                const QString target = dir.filePath(QStringLiteral("t"));
                const QString backup = dir.filePath(QStringLiteral("b"));
                QDir(target).removeRecursively();
                QDir(backup).removeRecursively();
                QDir().mkpath(target);
                ::sync(); // nobody else's dirty data in the figures
                flushOff = variant != 1;
                QElapsedTimer timer;
                timer.start();
                TinyTarUnpacker unpacker(packagePath, target, backup);
                bool ok = unpacker.unpack();
                flushOff = false;
                if (variant == 2)
                    ok = fsyncTree(target) && fsyncTree(backup) && ok;
                times[variant].push_back(timer.nsecsElapsed() / 1e6);
                if (!ok) {
                    std::fprintf(stderr, "installation failed\n");
                    return 1;
                }
            }
        }
        std::printf("%s (%d rounds, median [min-max] ms):", qPrintable(base), rounds);
        for (int v = 0; v < 3; ++v) {
            const auto [low, high] = std::minmax_element(times[v].begin(), times[v].end());
            std::printf("  %s %.0f [%.0f-%.0f]", variants[v], median(times[v]), *low, *high);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
