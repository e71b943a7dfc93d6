#ifndef VELTORA_SEVENZIPPACKETWRITER_H
#define VELTORA_SEVENZIPPACKETWRITER_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <vector>

// Writes a 7z packet: files, symbolic links and folders with their Unix modes and
// modification times, all data in one LZMA2 folder. The LZMA2 stream restarts
// (dictionary, state and properties) at every block border, so that blocks are
// compressed on several threads here and decoded on several threads by the updater.
// At most as many blocks as there are threads are in flight, so memory stays
// bounded whatever the packet's size.
class SevenZipPacketWriter
{
public:
    static constexpr quint32 defaultBlockSize = 8u << 20;

    SevenZipPacketWriter() = default;
    ~SevenZipPacketWriter();
    SevenZipPacketWriter(const SevenZipPacketWriter &) = delete;
    SevenZipPacketWriter &operator=(const SevenZipPacketWriter &) = delete;

    // Before open(): the unpacked size of a block (also the dictionary size),
    // and how many blocks are compressed at once.
    void setBlockSize(quint32 bytes) { m_blockSize = qMax<quint32>(bytes, 4096); }
    void setThreads(int threads) { m_threads = qMax(1, threads); }
    // Called after each block is written, with the unpacked bytes taken in so far.
    void setProgress(std::function<void(qint64)> progress) { m_progress = std::move(progress); }

    bool open(const QString &path, QString *error);
    bool addFile(const QString &name, const QString &source, quint32 mode, qint64 mtime);
    bool addData(const QString &name, const QByteArray &data, quint32 mode, qint64 mtime);
    bool addLink(const QString &name, const QByteArray &target, qint64 mtime);
    bool addFolder(const QString &name, qint64 mtime);
    bool close(QString *error);
    QString errorString() const { return m_error; }

    struct Block
    {
        std::vector<uint8_t> data;   // LZMA2 chunks without the end marker
        quint64 unpackedSize = 0;
        QString error;
    };

private:
    struct Item
    {
        QString name;
        quint32 attributes = 0;
        qint64 mtime = 0;
        quint64 size = 0;
        bool hasStream = false;
        bool isFolder = false;
        quint32 crc = 0;
    };

    bool append(const char *data, size_t size);
    bool flushBlock();
    bool drain(size_t keep);
    bool fail(const QString &why);
    QByteArray header() const;

    QFile m_file;
    QVector<Item> m_items;
    quint32 m_blockSize = defaultBlockSize;
    int m_threads = 1;
    std::function<void(qint64)> m_progress;
    std::vector<uint8_t> m_block;
    std::deque<std::future<Block>> m_running;
    quint64 m_packed = 0;
    quint64 m_unpacked = 0;
    qint64 m_written = 0;   // unpacked bytes whose blocks are on disk
    QString m_error;
    bool m_failed = false;
};

#endif
