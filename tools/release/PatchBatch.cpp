#include "PatchBatch.h"

#include "bsdiff.h"

#include <QFile>
#include <QSaveFile>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

const qint64 PatchBatch::suffixArrayLimit = qint64(INT32_MAX) - 1;

namespace {

bool readFile(const QString &path, qint64 expected, std::vector<uint8_t> *data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != expected)
        return false;
    data->resize(size_t(expected));
    qint64 done = 0;
    while (done < expected) {
        const qint64 n = file.read(reinterpret_cast<char *>(data->data()) + done, qMin<qint64>(expected - done, 1 << 24));
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// One file: the patch, kept only when it pays. Empty error on success.
QString patchOne(const PatchBatch::Job &job, const QString &patchPath, double share, PatchBatch::Result *result)
{
    std::vector<uint8_t> oldData;
    std::vector<uint8_t> newData;
    if (!readFile(job.oldFile, job.oldSize, &oldData))
        return QStringLiteral("cannot read %1").arg(job.oldFile);
    if (!readFile(job.newFile, job.newSize, &newData))
        return QStringLiteral("cannot read %1").arg(job.newFile);
    std::vector<uint8_t> patch;
    try {
        patch = Bsdiff::makePatch(oldData.data(), oldData.size(), newData.data(), newData.size());
    } catch (const std::bad_alloc &) {
        return QStringLiteral("out of memory while patching %1").arg(job.newFile);
    } catch (const std::exception &e) {
        return QStringLiteral("cannot patch %1: %2").arg(job.newFile, QString::fromLocal8Bit(e.what()));
    }
    if (double(patch.size()) > share * double(newData.size()))
        return QString();
    QSaveFile out(patchPath);
    if (!out.open(QIODevice::WriteOnly)
        || out.write(reinterpret_cast<const char *>(patch.data()), qint64(patch.size())) != qint64(patch.size())
        || !out.commit())
        return QStringLiteral("cannot write %1").arg(patchPath);
    result->patchFile = patchPath;
    result->patchSize = qint64(patch.size());
    return QString();
}

} // namespace

bool PatchBatch::run(const QVector<Job> &jobs, const QString &folder, double share, QVector<Result> *results,
                     const std::function<void(int, qint64)> &progress, QString *error)
{
    results->clear();
    results->resize(jobs.size());
    m_peak = 0;

    std::mutex mutex;
    std::condition_variable changed;
    int next = 0;
    int done = 0;
    qint64 doneBytes = 0;
    qint64 inWork = 0;
    QString failure;

    // Jobs are taken in order; a job waits until its cost fits beside the others.
    auto worker = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (next >= jobs.size() || !failure.isEmpty())
                return;
            const int index = next++;
            const Job &job = jobs.at(index);
            Result &result = (*results)[index];
            if (job.oldSize >= m_sizeLimit || job.newSize >= m_sizeLimit) {
                result.tooLarge = true;
                ++done;
                doneBytes += job.newSize;
                changed.notify_all();
                continue;
            }
            const qint64 need = cost(job.oldSize, job.newSize);
            changed.wait(lock, [&] { return inWork == 0 || inWork + need <= m_budget || !failure.isEmpty(); });
            if (!failure.isEmpty())
                return;
            inWork += need;
            m_peak = qMax(m_peak, inWork);
            lock.unlock();
            const QString why = patchOne(job, folder + QStringLiteral("/%1.patch").arg(index), share, &result);
            lock.lock();
            inWork -= need;
            ++done;
            doneBytes += job.newSize;
            if (!why.isEmpty() && failure.isEmpty())
                failure = why;
            changed.notify_all();
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < qMin(m_threads, int(jobs.size())); ++i)
        threads.emplace_back(worker);
    {
        std::unique_lock<std::mutex> lock(mutex);
        int reported = -1;
        while (done < jobs.size() && failure.isEmpty()) {
            if (done != reported && progress) {
                reported = done;
                const qint64 bytes = doneBytes;
                lock.unlock();
                progress(reported, bytes);
                lock.lock();
                continue;
            }
            changed.wait(lock);
        }
    }
    for (std::thread &thread : threads)
        thread.join();
    if (!failure.isEmpty()) {
        *error = failure;
        return false;
    }
    if (progress)
        progress(done, doneBytes);
    return true;
}
