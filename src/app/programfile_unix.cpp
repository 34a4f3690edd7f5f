#include "programfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <filesystem>
#include <system_error>

#include <sys/stat.h>

namespace {
// The kernel's own record of the file this process runs, valid wherever it has been moved since.
const char ownProgram[] = "/proc/self/exe";
} // namespace

bool enterProgramDirectory()
{
    // Bytes throughout: a directory name that is not valid UTF-8 has no QString that names it.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink(ownProgram, error);
    if (error) // no /proc: the framework's own search, from argv[0] and PATH
        return QDir::setCurrent(QCoreApplication::applicationDirPath());
    std::filesystem::current_path(program.parent_path(), error);
    return !error;
}

bool isOwnProgramFile(const QString &path)
{
    struct stat own;
    struct stat other;
    return ::stat(ownProgram, &own) == 0 && ::stat(QFile::encodeName(path).constData(), &other) == 0
        && own.st_dev == other.st_dev && own.st_ino == other.st_ino;
}
