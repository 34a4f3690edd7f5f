#include "packagestager.h"

#include "inflatearchive_p.h"
#include "memorypages.h"
#include "packageverifier.h"
#include "pathkey.h"
#include "tarwalker.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Large files are written as their data comes, a piece at a time, so that the last piece is
// written soon after the last byte is decoded.
constexpr qint64 pieceSize = qint64(1) << 20;
// How far beyond what is made the staging thread, when it waits, readies the pages, and how much
// at a time (the decoder makes a megabyte in about a millisecond).
constexpr qint64 prepareAhead = qint64(8) << 20;
constexpr qint64 prepareStep = qint64(1) << 20;

} // namespace

// What passes between the decoding thread and the staging one: how far the content is made, and
// the content itself, which the decoder moves only when nothing holds it.
class PackageStager::Progress : public InflateProgress
{
public:
    void produced(const char *content, qint64 size, qint64 capacity) override
    {
        {
            const std::lock_guard<std::mutex> lock(progressLock);
            base = content;
            made = size;
            room = capacity;
        }
        progressed.notify_one();
    }

    void moving() override
    {
        contentLock.lock();
        const std::lock_guard<std::mutex> lock(progressLock);
        base = nullptr;
    }

    void moved() override { contentLock.unlock(); }

    void finish()
    {
        {
            const std::lock_guard<std::mutex> lock(progressLock);
            finished = true;
        }
        progressed.notify_one();
    }

    // Waits until the first size bytes are made and holds the content where it is until
    // release(); nullptr (nothing held) when the decoding ended before. While it waits, it makes
    // the pages the decoder is about to fill ready, which the decoder would otherwise fault in
    // one by one.
    const char *hold(qint64 size)
    {
        forever {
            {
                std::unique_lock<std::mutex> lock(progressLock);
                const auto ready = [&] { return finished || (base && made >= size); };
                if (!ready() && base && prepared < std::min(made + prepareAhead, room)) {
                    lock.unlock();
                    prepareNext();
                    continue;
                }
                progressed.wait(lock, ready);
                if (!base || made < size)
                    return nullptr;
            }
            contentLock.lock();
            {
                const std::lock_guard<std::mutex> lock(progressLock);
                if (base)
                    return base;
            }
            contentLock.unlock(); // it began to move meanwhile
        }
    }

    // Lets go of the content, giving back the memory of what was written from it that the
    // decoder no longer reads (it reads the newest content again as history).
    void release(const char *content)
    {
        qint64 done = 0;
        {
            const std::lock_guard<std::mutex> lock(progressLock);
            done = made - inflateHistoryKept;
        }
        giveBack(content, done);
        contentLock.unlock();
    }

    // The range [from, from + size) of the content is written and need not stay in memory.
    void written(qint64 from, qint64 size) { toGiveBack.push_back({ from, from + size }); }

    // After the decoding: everything written goes.
    void giveBackAll(const char *content) { giveBack(content, std::numeric_limits<qint64>::max()); }

private:
    // Makes the next stretch of pages beyond what is made ready to be written.
    void prepareNext()
    {
        const std::lock_guard<std::mutex> content(contentLock);
        const char *at = nullptr;
        qint64 from = 0;
        qint64 to = 0;
        {
            const std::lock_guard<std::mutex> lock(progressLock);
            at = base;
            from = std::max(prepared, made);
            to = std::min({ from + prepareStep, made + prepareAhead, room });
        }
        if (at && to > from)
            prepareMemory(at + from, to - from);
        prepared = std::max(prepared, to);
    }

    void giveBack(const char *content, qint64 upTo)
    {
        while (!toGiveBack.empty() && toGiveBack.front().second <= upTo) {
            releaseMemory(content + toGiveBack.front().first,
                toGiveBack.front().second - toGiveBack.front().first);
            toGiveBack.pop_front();
        }
    }

    std::mutex progressLock;
    std::condition_variable progressed;
    const char *base = nullptr; // nullptr while the content moves
    qint64 made = 0;
    qint64 room = 0; // the buffer's capacity
    qint64 prepared = 0; // staging thread only
    bool finished = false;
    std::mutex contentLock; // held by the stager while it reads, by the decoder while it moves
    std::deque<std::pair<qint64, qint64>> toGiveBack; // staging thread only
};

PackageStager::PackageStager(StagingArea &staging, ConfinedTree &target, qint64 availableSpace)
    : staging(staging), target(target), available(availableSpace)
{
}

QByteArray PackageStager::inflate(const QByteArray &package, InflateEnd *end)
{
    staged.clear();
    permissionsByName.clear();
    Progress progress;
    QByteArray content;
    bool fast = false;
    std::thread decoder;
    try {
        decoder = std::thread([&] {
            fast = inflateArchiveFast(package, &content, &progress);
            progress.finish();
        });
    } catch (const std::system_error &) {
        return inflateArchive(package, end);
    }
    stage(progress);
    decoder.join();
    target.closeDirectories();
    if (fast) {
        progress.giveBackAll(content.constData());
        if (end)
            *end = InflateEnd::Complete;
        return content;
    }
    // Only the reference reads exactly what the fast reading gave up on; the files it staged
    // go, and are written from the reference's content if the package proves sound.
    for (auto it = staged.cbegin(); it != staged.cend(); ++it)
        staging.drop(it.key());
    staged.clear();
    content.clear();
    return inflateArchiveWithZlib(package, end);
}

void PackageStager::stage(Progress &progress)
{
    qint64 at = 0;
    qint64 needed = 0;
    forever {
        const char *content = progress.hold(at + TinyTarHeader::recordSize);
        if (!content)
            return;
        TinyTarHeader header;
        const bool read = header.read(content + at, TinyTarHeader::recordSize);
        progress.release(content);
        // What is no header, and what follows the end records, is the verifier's to judge.
        if (!read || header.isEnd())
            return;
        needed += PackageVerifier::diskCost(header.isDirectory() ? 0 : qint64(header.size()));
        if (!PackageVerifier::fitsWithMargin(needed, available))
            return;
        if (!header.isDirectory() && !stageFile(progress, at, header))
            return;
        at += TinyTarHeader::recordSize + qint64(TarWalker::dataRecordsSize(header));
    }
}

bool PackageStager::stageFile(Progress &progress, qint64 offset, const TinyTarHeader &header)
{
    // A replaced file keeps the permissions of the one it replaces, a new one gets the execute
    // bits of its header; a second copy of a file, what the first was given.
    const QString key = filePathKey(header.name());
    auto permissions = permissionsByName.constFind(key);
    if (permissions == permissionsByName.cend()) {
        const ConfinedTree::Status status = target.status(header.name());
        permissions = permissionsByName.insert(key,
            status.kind == ConfinedTree::File ? qMakePair(status.permissions, 0)
                                              : qMakePair(-1, int(header.mode() & 0111)));
    }

    const qint64 size = qint64(header.size());
    const qint64 data = offset + TinyTarHeader::recordSize;
    qint64 done = 0;
    do {
        const qint64 piece = std::min(size - done, pieceSize);
        const char *content = progress.hold(data + done + piece);
        if (!content) {
            staging.drop(offset);
            return false;
        }
        const char *bytes = content + data + done;
        const bool written = done == 0
            ? staging.create(offset, bytes, piece, permissions->first, permissions->second)
            : staging.append(offset, bytes, piece);
        if (written)
            progress.written(data + done, piece);
        progress.release(content);
        if (!written) {
            staging.drop(offset);
            return false;
        }
        done += piece;
    } while (done < size);
    staged.insert(offset, size);
    return true;
}
