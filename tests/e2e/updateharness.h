#ifndef UPDATEHARNESS_H
#define UPDATEHARNESS_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class TarBuilder;

// What the end-to-end update tests share: the tree an installation must leave whole, cashpkg
// runs, and the installer stopped between two of its own system calls (strace, found in PATH).

// The supervisor's line when the cash application has made way for an update: the installation
// begins.
inline const QString stoppedForUpdate =
    QStringLiteral("NOTE; LocalCashServer:LocalCashServer::slotProcessFinished; "
                   "Процесс кассы остановлен для выполнения обновления.");

// tree() of an installation directory without what the installer keeps for itself (the log, the
// backup tree and anything beside it named "backup...", such as a journal) and without the files
// the tests' supervisor harness keeps there.
QStringList installedTree(const QString &dir);

// How actual differs from the two trees it should equal one of, for a failure message: how many
// entries are as in old, as in new, in neither, and missing, with the first few of each.
QString treeMixture(const QStringList &actual, const QStringList &old, const QStringList &new_);

// Entries of expected that actual lacks, or that it holds with other content ("" when none).
QString missingEntries(const QStringList &actual, const QStringList &expected);

// Log entries (logEntries()) of level NOTE or more severe that baseline does not hold.
QStringList unexpectedNotices(const QStringList &entries, const QStringList &baseline);

// Adds the files (name and content) to tar in the order of their names, each directory entry
// before the first entry below it.
void addFiles(TarBuilder &tar, const QMap<QString, QByteArray> &files);

// Copies what is in from into to (made when missing), as cp -a does.
bool copyTree(const QString &from, const QString &to);

// Runs cashpkg with its output discarded, after prefix (a strace command line, say) when given.
// Its exit status, or -1 when it did not end normally.
int cashpkg(const QStringList &arguments, const QStringList &prefix = QStringList());

// One system call of an installation, as strace counts it for an injection: the ordinal-th call
// of that name in the traced thread.
struct SyscallPoint
{
    QString name;
    int ordinal = 0;
    QString line; // as strace showed it, paths of descriptors included
};

// The system calls of "cashpkg arguments" that change something below root, in order: creating,
// writing, renaming, removing, linking, flushing and changing the mode of files and directories.
// Empty when strace could not run it.
QList<SyscallPoint> fileChanges(const QStringList &arguments, const QString &root);

// The strace command line that runs a program and does action ("signal=SIGKILL",
// "error=ENOSPC", ...) at point.
QStringList atSyscall(const SyscallPoint &point, const QString &action);

// A tmpfs of the given size mounted over dir with dir's content copied in, unmounted when the
// object goes. Needs the administrator.
class SmallTmpfs
{
public:
    SmallTmpfs(const QString &dir, qint64 bytes);
    ~SmallTmpfs();
    bool isMounted() const { return mounted; }
    QString errorString() const { return error; }

private:
    QString dir;
    bool mounted = false;
    QString error;
};

#endif // UPDATEHARNESS_H
