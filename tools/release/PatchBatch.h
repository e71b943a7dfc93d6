#ifndef VELTORA_PATCHBATCH_H
#define VELTORA_PATCHBATCH_H

#include <QString>
#include <QVector>

#include <functional>

// Makes the BSDIFF40 patches of a release on several threads; the files are
// independent. A patch of an old file of n bytes holds the old file, its suffix
// array (4n) and the new file and its patch blocks in memory, so threads start a
// file only while the summed cost of the files in work stays within the budget
// (one file always runs, however large). Files beyond the suffix array's index
// range are not diffed at all.
class PatchBatch
{
public:
    struct Job
    {
        QString oldFile;
        QString newFile;
        qint64 oldSize = 0;
        qint64 newSize = 0;
    };
    struct Result
    {
        QString patchFile;    // empty when the file goes whole
        qint64 patchSize = 0;
        bool tooLarge = false; // beyond sizeLimit: not diffed
    };

    // The old or new file size from which files are not diffed: the 32-bit suffix array's range.
    static const qint64 suffixArrayLimit;

    PatchBatch(int threads, qint64 memoryBudget, qint64 sizeLimit = suffixArrayLimit)
        : m_threads(qMax(1, threads)), m_budget(memoryBudget), m_sizeLimit(sizeLimit)
    {
    }

    // What diffing one file costs in memory, in bytes.
    static qint64 cost(qint64 oldSize, qint64 newSize) { return 5 * oldSize + 3 * newSize; }

    // Patches every job into `folder` ("N.patch"); a patch larger than `share` of
    // its new file is dropped. `progress(files done, new bytes done)` is called on
    // the calling thread. False with a reason when a file cannot be read or written.
    bool run(const QVector<Job> &jobs, const QString &folder, double share, QVector<Result> *results,
             const std::function<void(int, qint64)> &progress, QString *error);

    // The most memory the files in work held at once during the last run().
    qint64 peakCost() const { return m_peak; }

private:
    int m_threads;
    qint64 m_budget;
    qint64 m_sizeLimit;
    qint64 m_peak = 0;
};

#endif
