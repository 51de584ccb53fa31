#include "filetransfers.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quillet {

namespace FM = FileMessages;
using Outcome = FileTransfers::Outcome;
using Direction = FileTransfers::Direction;

namespace {

constexpr qsizetype MaxSafeNameBytes = 200;
constexpr qsizetype MaxExtension = 16;
constexpr qint64 RateWindowMs = 3000;

// The reason a cancel names for each way a transfer can fail.
QLatin1StringView reasonOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::ChatClosed: return QLatin1StringView("closed");
    case Outcome::ChecksumFailed: return QLatin1StringView("checksum");
    case Outcome::SizeMismatch: return QLatin1StringView("size");
    case Outcome::ProtocolError: return QLatin1StringView("protocol");
    case Outcome::ReadFailed: return QLatin1StringView("read");
    case Outcome::WriteFailed:
    case Outcome::TargetExists: return QLatin1StringView("write");
    default: return QLatin1StringView("cancelled");
    }
}

Outcome outcomeOf(const QString &reason)
{
    for (const Outcome o : {Outcome::ChatClosed, Outcome::ChecksumFailed, Outcome::SizeMismatch,
                            Outcome::ProtocolError, Outcome::ReadFailed, Outcome::WriteFailed})
        if (reason == reasonOf(o))
            return o;
    return Outcome::Cancelled;
}

bool isDroppedCategory(QChar::Category category)
{
    return category == QChar::Other_Control || category == QChar::Other_Format
        || category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
}

bool isReservedOnWindows(const QString &name)
{
    const QString stem = name.section(u'.', 0, 0).trimmed().toUpper();
    if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL")
        return true;
    return stem.size() == 4 && (stem.startsWith(u"COM") || stem.startsWith(u"LPT")) && stem[3] >= u'1'
        && stem[3] <= u'9';
}

void trimEnds(QString &s, bool front)
{
    const auto unwanted = [](QChar c) { return c == u'.' || c.isSpace(); };
    while (!s.isEmpty() && unwanted(s.back()))
        s.chop(1);
    while (front && !s.isEmpty() && unwanted(s.front()))
        s.remove(0, 1);
}

} // namespace

// Writes a received file and computes its SHA-256 on a thread of its own, chunk by chunk in the
// order given, so that the event loop reading the connection spends on a chunk only its decoding
// and keystrokes behind it are not held up by the disk or the hashing. The thread takes the chunks
// in batches of WakeAt bytes or more; at most MaxQueued bytes wait, and add() blocks while more
// would (a disk slower than the link). The file is the caller's again once finish() has returned
// or the writer is destroyed (which drops whatever still waits).
class FileTransfers::ChunkWriter
{
public:
    static constexpr qsizetype MaxQueued = 2 * 1024 * 1024;
    static constexpr qsizetype WakeAt = 256 * 1024;

    explicit ChunkWriter(QFile &file) : m_file(file), m_thread([this] { run(); }) {}

    ~ChunkWriter()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
            m_queue.clear();
        }
        m_work.notify_one();
        m_space.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    // False once a write has failed; nothing is queued then.
    bool add(QByteArray bytes)
    {
        std::unique_lock lock(m_mutex);
        m_space.wait(lock, [&] { return m_failed || m_queued + bytes.size() <= MaxQueued || m_queue.empty(); });
        if (m_failed)
            return false;
        m_queued += bytes.size();
        m_queue.push_back(std::move(bytes));
        // The thread is woken for a batch, not for every chunk: a wake-up costs about as much as
        // hashing and writing a chunk.
        const bool wake = m_queued >= WakeAt;
        lock.unlock();
        if (wake)
            m_work.notify_one();
        return true;
    }

    // Waits until every chunk is written and ends the thread; false when a write failed, else the
    // digest of all the bytes in `digest`.
    bool finish(QByteArray *digest)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_work.notify_one();
        m_thread.join();
        if (m_failed)
            return false;
        *digest = m_hash.result();
        return true;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_work.wait(lock, [&] { return m_stop || m_queued >= WakeAt || (!m_queue.empty() && m_busy); });
            if (m_queue.empty()) {
                m_busy = false;
                if (m_stop)
                    return; // stopped, and nothing left to write
                continue;
            }
            m_busy = true;
            const QByteArray bytes = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            const bool written = m_file.write(bytes) == bytes.size();
            if (written)
                m_hash.addData(bytes);
            lock.lock();
            m_queued -= bytes.size();
            if (!written) {
                m_failed = true;
                m_queue.clear();
            }
            m_space.notify_all();
        }
    }

    QFile &m_file;
    Sha256 m_hash;
    std::mutex m_mutex;
    std::condition_variable m_work;  // a chunk waits, or the end
    std::condition_variable m_space; // room in the queue, or a failure
    std::deque<QByteArray> m_queue;
    qsizetype m_queued = 0;
    bool m_stop = false;
    bool m_failed = false;
    bool m_busy = false; // working through a batch: goes on until the queue is empty
    std::thread m_thread; // last: it starts once everything else is there
};

QString safeFileName(const QString &offered)
{
    const QString name = offered.sliced(qMax(offered.lastIndexOf(u'/'), offered.lastIndexOf(u'\\')) + 1);
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            if (!isDroppedCategory(QChar::category(QChar::surrogateToUcs4(c, name[i + 1]))))
                out.append(c).append(name[i + 1]);
            ++i;
        } else if (c.isSurrogate() || isDroppedCategory(c.category())) {
            // a lone half of a pair, a control or an invisible character: dropped
        } else {
            out.append(QStringView(u"<>:\"|?*").contains(c) ? QChar(u'_') : c);
        }
    }
    trimEnds(out, true);
    if (out.isEmpty())
        return QStringLiteral("received file");
    if (isReservedOnWindows(out))
        out.prepend(u'_');
    if (out.toUtf8().size() > MaxSafeNameBytes) {
        const qsizetype dot = out.lastIndexOf(u'.');
        const QString extension = dot > 0 && out.size() - dot <= MaxExtension ? out.sliced(dot) : QString();
        QString stem = out.first(out.size() - extension.size());
        while (!stem.isEmpty() && (stem + extension).toUtf8().size() > MaxSafeNameBytes)
            stem.chop(stem.back().isLowSurrogate() && stem.size() > 1 ? 2 : 1);
        trimEnds(stem, false);
        out = stem.isEmpty() ? QStringLiteral("received file") + extension : stem + extension;
    }
    return out;
}

struct FileTransfers::Transfer {
    enum class State { Offered, Running, Ending };

    Transfer(Direction d, quint32 i, qint64 s) : direction(d), id(i), size(s) {}

    Direction direction;
    quint32 id;
    qint64 size;
    State state = State::Offered;
    qint64 done = 0;
    QFile file;          // outgoing: the file read; incoming: the temporary file written
    QString path;        // outgoing: the file; incoming: the target
    QString tempPath;    // incoming: the temporary file while it exists
    bool replace = false;
    Sha256 hash;         // outgoing; an incoming transfer's is the writer's
    std::unique_ptr<ChunkWriter> writer; // incoming, while running
    QElapsedTimer clock;
    qint64 lastReport = -1;
    std::deque<std::pair<qint64, qint64>> samples; // (ms, bytes done) over the last seconds

    void start()
    {
        state = State::Running;
        clock.start();
        samples.emplace_back(0, 0);
    }

    void removePartial()
    {
        writer.reset();
        file.close();
        if (!tempPath.isEmpty())
            QFile::remove(tempPath);
        tempPath.clear();
    }
};

FileTransfers::FileTransfers(FileLink *link, QObject *parent) : QObject(parent), m_link(link)
{
    qRegisterMetaType<FM::Kind>();
}

FileTransfers::~FileTransfers()
{
    for (auto &[id, t] : m_in)
        t->removePartial();
}

// --- Sending ---

quint32 FileTransfers::offer(const QString &path, FM::Kind kind, QString *error)
{
    const QFileInfo info(path);
    auto t = std::make_unique<Transfer>(Direction::Outgoing, 0, 0);
    t->file.setFileName(path);
    if (!info.isFile() || !t->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = info.isFile() ? t->file.errorString() : tr("%1 is not a file.").arg(info.fileName());
        return 0;
    }
    do
        m_nextId = m_nextId % FM::MaxId + 1;
    while (m_out.count(m_nextId));
    t->id = m_nextId;
    t->size = t->file.size();
    t->path = info.absoluteFilePath();
    const QString message = FM::offer(t->id, t->size, kind, info.fileName());
    m_out.emplace(t->id, std::move(t));
    m_link->send(message);
    return m_nextId;
}

void FileTransfers::drained()
{
    pump();
}

void FileTransfers::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    while (m_link->canSend()) {
        // The next running transfer after the one served last, in ID order, round the map.
        Transfer *next = nullptr;
        for (auto it = m_out.upper_bound(m_lastServed); !next && it != m_out.end(); ++it)
            if (it->second->state == Transfer::State::Running)
                next = it->second.get();
        for (auto it = m_out.begin(); !next && it != m_out.end() && it->first <= m_lastServed; ++it)
            if (it->second->state == Transfer::State::Running)
                next = it->second.get();
        if (!next)
            break;
        m_lastServed = next->id;
        sendChunk(*next);
    }
    m_pumping = false;
}

void FileTransfers::sendChunk(Transfer &t)
{
    const quint32 id = t.id;
    const qint64 want = qMin<qint64>(FM::MaxChunk, t.size - t.done);
    QString message;
    if (want > 0) {
        m_chunk.resize(want);
        if (t.file.read(m_chunk.data(), want) != want) {
            end(Direction::Outgoing, id, Outcome::ReadFailed, false, true);
            return;
        }
        t.hash.addData(m_chunk);
        t.done += want;
        message = FM::data(id, m_chunk);
    }
    QString endMessage;
    if (t.done == t.size) {
        t.state = Transfer::State::Ending;
        t.file.close();
        endMessage = FM::end(id, t.hash.result());
    }
    // Sending may hand a message on at once; look the transfer up again afterwards.
    if (!message.isEmpty())
        m_link->send(message);
    if (!endMessage.isEmpty())
        m_link->send(endMessage);
    if (const auto it = m_out.find(id); it != m_out.end())
        reportProgress(*it->second);
}

// --- Receiving ---

FileTransfers::AcceptResult FileTransfers::accept(quint32 id, const QString &target, bool replaceExisting)
{
    const auto it = m_in.find(id);
    if (it == m_in.end() || it->second->state != Transfer::State::Offered)
        return AcceptResult::NoSuchOffer;
    Transfer &t = *it->second;
    const QFileInfo info(target);
    if (info.isDir())
        return AcceptResult::CannotWrite;
    if (info.exists() && !replaceExisting)
        return AcceptResult::TargetExists;
    // The temporary file sits next to the target, so that the final rename stays on one file system.
    for (int attempt = 0; attempt < 8 && !t.file.isOpen(); ++attempt) {
        t.file.setFileName(info.absoluteDir().filePath(
            QStringLiteral(".quillet-%1.part").arg(QRandomGenerator::global()->generate64(), 16, 16, QChar(u'0'))));
        if (t.file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            t.tempPath = t.file.fileName();
    }
    if (!t.file.isOpen())
        return AcceptResult::CannotWrite;
    t.path = info.absoluteFilePath();
    t.replace = replaceExisting;
    try {
        t.writer = std::make_unique<ChunkWriter>(t.file);
    } catch (const std::system_error &) { // no thread to be had
        t.removePartial();
        return AcceptResult::CannotWrite;
    }
    t.start();
    m_link->send(FM::accept(id));
    return AcceptResult::Started;
}

void FileTransfers::refuse(quint32 id)
{
    const auto it = m_in.find(id);
    if (it == m_in.end() || it->second->state != Transfer::State::Offered)
        return;
    m_in.erase(it);
    m_link->send(FM::refuse(id));
    emit finished(Direction::Incoming, id, Outcome::Refused, false, QString());
}

void FileTransfers::receiveOffer(const FM::Message &m)
{
    if (m_in.count(m.id)) {
        // The same ID twice: the partner is confused; end the first as well.
        end(Direction::Incoming, m.id, Outcome::ProtocolError, false, true);
        return;
    }
    if (m_in.size() >= std::size_t(MaxIncoming)) {
        m_link->send(FM::refuse(m.id));
        return;
    }
    m_in.emplace(m.id, std::make_unique<Transfer>(Direction::Incoming, m.id, m.size));
    emit offered(m.id, safeFileName(m.name), m.size, m.kind);
}

void FileTransfers::receiveData(Transfer &t, const QByteArray &bytes)
{
    if (bytes.size() > t.size - t.done) {
        end(Direction::Incoming, t.id, Outcome::SizeMismatch, false, true);
        return;
    }
    if (!t.writer->add(bytes)) {
        end(Direction::Incoming, t.id, Outcome::WriteFailed, false, true);
        return;
    }
    t.done += bytes.size();
    reportProgress(t);
}

void FileTransfers::receiveEnd(Transfer &t, const QByteArray &digest)
{
    const quint32 id = t.id;
    QByteArray written;
    const bool writtenAll = t.writer->finish(&written);
    t.writer.reset();
    if (!writtenAll) {
        end(Direction::Incoming, id, Outcome::WriteFailed, false, true);
        return;
    }
    if (t.done != t.size) {
        end(Direction::Incoming, id, Outcome::SizeMismatch, false, true);
        return;
    }
    if (written != digest) {
        end(Direction::Incoming, id, Outcome::ChecksumFailed, false, true);
        return;
    }
    t.file.close();
    if (t.file.error() != QFileDevice::NoError) {
        end(Direction::Incoming, id, Outcome::WriteFailed, false, true);
        return;
    }
    bool renamed;
    if (t.replace) {
        std::error_code error;
        std::filesystem::rename(QFile::encodeName(t.tempPath).toStdString(),
                                QFile::encodeName(t.path).toStdString(), error);
        renamed = !error;
    } else {
        renamed = QFile::rename(t.tempPath, t.path); // never replaces a file
    }
    if (!renamed) {
        const bool exists = QFileInfo::exists(t.path);
        end(Direction::Incoming, id, exists ? Outcome::TargetExists : Outcome::WriteFailed, false, true);
        return;
    }
    t.tempPath.clear();
    m_link->send(FM::done(id));
    end(Direction::Incoming, id, Outcome::Completed, false, false);
}

// --- Both ---

bool FileTransfers::handle(const QString &text)
{
    if (!text.startsWith(u"<xfile"))
        return false;
    const FM::Message message = FM::parse(text);
    if (message.type != FM::Type::None)
        handle(message);
    return true;
}

bool FileTransfers::handle(QStringView name, QStringView body)
{
    if (!name.startsWith(u"file"))
        return false;
    const FM::Message message = FM::parse(name, body);
    if (message.type != FM::Type::None)
        handle(message);
    return true;
}

void FileTransfers::handle(const FM::Message &m)
{
    using State = Transfer::State;
    const bool toSender = m.type == FM::Type::Accept || m.type == FM::Type::Refuse || m.type == FM::Type::Done
                       || (m.type == FM::Type::Cancel && m.role == FM::Role::Receiver);
    const Direction direction = toSender ? Direction::Outgoing : Direction::Incoming;
    if (m.type == FM::Type::Offer) {
        receiveOffer(m);
        return;
    }
    Map &transfers = map(direction);
    const auto it = transfers.find(m.id);
    if (it == transfers.end()) {
        // The partner still sends for, or waits on, a transfer that is unknown here: stop it.
        if (m.type == FM::Type::Data || m.type == FM::Type::End)
            m_link->send(FM::cancel(m.id, FM::Role::Receiver, reasonOf(Outcome::ProtocolError)));
        else if (m.type == FM::Type::Accept)
            m_link->send(FM::cancel(m.id, FM::Role::Sender, reasonOf(Outcome::ProtocolError)));
        return;
    }
    Transfer &t = *it->second;
    const auto expect = [&](State state) {
        if (t.state == state)
            return true;
        end(direction, m.id, Outcome::ProtocolError, false, true);
        return false;
    };
    switch (m.type) {
    case FM::Type::Accept:
        if (expect(State::Offered)) {
            t.start();
            pump();
        }
        break;
    case FM::Type::Refuse:
        if (expect(State::Offered))
            end(direction, m.id, Outcome::Refused, true, false);
        break;
    case FM::Type::Done:
        if (expect(State::Ending))
            end(direction, m.id, Outcome::Completed, false, false);
        break;
    case FM::Type::Data:
        if (expect(State::Running))
            receiveData(t, m.bytes);
        break;
    case FM::Type::End:
        if (expect(State::Running))
            receiveEnd(t, m.bytes);
        break;
    case FM::Type::Cancel:
        end(direction, m.id, outcomeOf(m.reason), true, false);
        break;
    case FM::Type::Offer:
    case FM::Type::None:
        break;
    }
}

void FileTransfers::cancel(Direction direction, quint32 id)
{
    end(direction, id, Outcome::Cancelled, false, true);
}

void FileTransfers::closeAll()
{
    std::vector<std::pair<Direction, quint32>> all;
    for (const auto &[id, t] : m_out)
        all.emplace_back(Direction::Outgoing, id);
    for (const auto &[id, t] : m_in)
        all.emplace_back(Direction::Incoming, id);
    for (const auto &[direction, id] : all)
        end(direction, id, Outcome::ChatClosed, false, false);
}

void FileTransfers::end(Direction direction, quint32 id, Outcome outcome, bool byPartner, bool tellPartner)
{
    Map &transfers = map(direction);
    const auto it = transfers.find(id);
    if (it == transfers.end())
        return;
    const std::unique_ptr<Transfer> t = std::move(it->second);
    transfers.erase(it);
    t->removePartial();
    if (tellPartner) {
        const FM::Role role = direction == Direction::Outgoing ? FM::Role::Sender : FM::Role::Receiver;
        m_link->send(FM::cancel(id, role, reasonOf(outcome)));
    }
    emit finished(direction, id, outcome, byPartner, t->path);
}

void FileTransfers::reportProgress(Transfer &t)
{
    const qint64 now = t.clock.elapsed();
    if (t.done < t.size && t.lastReport >= 0 && now - t.lastReport < ProgressIntervalMs)
        return;
    t.lastReport = now;
    t.samples.emplace_back(now, t.done);
    while (t.samples.size() > 2 && now - t.samples.front().first > RateWindowMs)
        t.samples.pop_front();
    const auto [since, doneThen] = t.samples.front();
    const double rate = now > since ? double(t.done - doneThen) * 1000.0 / double(now - since) : 0.0;
    const qint64 left = rate > 0 ? qint64(double(t.size - t.done) * 1000.0 / rate) : -1;
    emit progress(t.direction, t.id, t.done, t.size, rate, left);
}

} // namespace quillet
