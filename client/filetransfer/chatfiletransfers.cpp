#include "chatfiletransfers.h"
#include "peerlink.h"
#include "picturewindow.h"
#include "transfertexts.h"
#include "transferwindow.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QMessageBox>

namespace quillet {

using Kind = FileMessages::Kind;
using Direction = FileTransfers::Direction;

ChatFileTransfers::Seams ChatFileTransfers::defaultSeams()
{
    Seams seams;
    seams.openFile = [](QWidget *parent, bool pictures) {
        QString filter;
        if (pictures) {
            QStringList patterns;
            for (const QByteArray &format : QImageReader::supportedImageFormats())
                patterns << QStringLiteral("*.") + QString::fromLatin1(format);
            filter = tr("Pictures (%1)").arg(patterns.join(u' '));
        }
        return QFileDialog::getOpenFileName(parent, pictures ? tr("Send Picture") : tr("Send File"), QString(),
                                            filter);
    };
    seams.inform = [](QWidget *parent, const QString &title, const QString &text) {
        auto *box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    };
    return seams;
}

bool ChatFileTransfers::Link::canSend() const
{
    return link->state() == PeerLink::State::Connected && link->bytesToWrite() < MaxQueuedBytes;
}

void ChatFileTransfers::Link::send(const QString &message)
{
    link->sendBulk(message);
}

ChatFileTransfers::ChatFileTransfers(PeerLink *link, QObject *parent, Seams seams)
    : QObject(parent), m_link(link), m_transfers(&m_link), m_seams(std::move(seams)),
      m_window(new TransferWindow)
{
    connect(link, &PeerLink::written, &m_transfers, &FileTransfers::drained);
    m_window->setAttribute(Qt::WA_ShowWithoutActivating); // typing in the chat goes on
    m_window->attach(&m_transfers);
    connect(&m_transfers, &FileTransfers::offered, this, &ChatFileTransfers::onOffered);
    connect(&m_transfers, &FileTransfers::finished, this, &ChatFileTransfers::onFinished);
}

ChatFileTransfers::~ChatFileTransfers()
{
    for (auto &[id, offer] : m_offers)
        if (offer.dialog)
            offer.dialog->withdraw();
    delete m_window;
}

QList<PictureWindow *> ChatFileTransfers::pictureWindows() const
{
    QList<PictureWindow *> windows;
    for (const QPointer<PictureWindow> &w : m_pictureWindows)
        if (w)
            windows << w;
    return windows;
}

void ChatFileTransfers::sendFile()
{
    send(Kind::File);
}

void ChatFileTransfers::sendPicture()
{
    send(Kind::Picture);
}

void ChatFileTransfers::send(Kind kind)
{
    const QString title = kind == Kind::Picture ? tr("Send Picture") : tr("Send File");
    if (!m_partnerCanReceive) {
        m_seams.inform(m_chatWindow, title, tr("%1's program cannot receive files.").arg(m_partner));
        return;
    }
    // The file dialog runs its own event loop: the chat may end meanwhile.
    const QPointer<ChatFileTransfers> self(this);
    const QString path = m_seams.openFile(m_chatWindow, kind == Kind::Picture);
    if (!self || path.isEmpty())
        return;
    const QFileInfo info(path);
    if (kind == Kind::Picture) {
        QString why;
        if (info.size() > PictureWindow::MaxPictureBytes)
            why = tr("%1 is larger than the %2 a picture may have; send it as a file.")
                      .arg(info.fileName(), TransferTexts::size(PictureWindow::MaxPictureBytes));
        else if (PictureWindow::decode(path, &why).isNull())
            why = tr("%1 cannot be sent as a picture. %2").arg(info.fileName(), why);
        if (!why.isEmpty()) {
            m_seams.inform(m_chatWindow, title, why);
            return;
        }
    }
    QString error;
    const quint32 id = m_transfers.offer(path, kind, &error);
    if (!id) {
        m_seams.inform(m_chatWindow, title, tr("%1 cannot be sent: %2").arg(info.fileName(), error));
        return;
    }
    m_window->addTransfer(Direction::Outgoing, id, info.fileName(), info.size());
    showTransfers();
}

void ChatFileTransfers::onOffered(quint32 id, const QString &name, qint64 size, Kind kind)
{
    if (kind == Kind::Picture && size > PictureWindow::MaxPictureBytes) {
        m_transfers.refuse(id);
        m_seams.inform(m_chatWindow, tr("Incoming Picture"),
                       tr("%1 offered a picture of %2, more than the %3 a picture may have; it was refused.")
                           .arg(m_partner, TransferTexts::size(size),
                                TransferTexts::size(PictureWindow::MaxPictureBytes)));
        return;
    }
    auto *dialog = new OfferDialog(m_partner, name, size, kind, m_chatWindow, m_seams.saveAs);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_offers[id] = Offer{name, size, kind, dialog, {}};
    connect(dialog, &OfferDialog::acceptedAs, this,
            [this, id](const QString &target, bool replace) { onAccepted(id, target, replace); });
    connect(dialog, &OfferDialog::refused, this, [this, id] { m_transfers.refuse(id); });
    dialog->show();
}

void ChatFileTransfers::onAccepted(quint32 id, const QString &target, bool replace)
{
    const auto it = m_offers.find(id);
    if (it == m_offers.end())
        return;
    Offer &offer = it->second;
    QString path = target;
    if (offer.kind == Kind::Picture) {
        // A picture waits in a folder of its own, which its window keeps.
        offer.folder = std::make_shared<QTemporaryDir>();
        path = offer.folder->filePath(offer.name);
        replace = false;
    }
    switch (m_transfers.accept(id, path, replace)) {
    case FileTransfers::AcceptResult::Started:
        m_window->addTransfer(Direction::Incoming, id, offer.name, offer.size);
        showTransfers();
        break;
    case FileTransfers::AcceptResult::TargetExists:
    case FileTransfers::AcceptResult::CannotWrite:
        m_seams.inform(m_chatWindow, tr("Incoming File"), tr("%1 cannot be written.").arg(path));
        m_transfers.refuse(id);
        break;
    case FileTransfers::AcceptResult::NoSuchOffer:
        break;
    }
}

void ChatFileTransfers::onFinished(Direction direction, quint32 id, FileTransfers::Outcome outcome, bool,
                                   const QString &path)
{
    if (direction != Direction::Incoming)
        return;
    const auto it = m_offers.find(id);
    if (it == m_offers.end())
        return;
    const Offer offer = it->second;
    m_offers.erase(it);
    if (offer.dialog)
        offer.dialog->withdraw();
    if (offer.kind != Kind::Picture || outcome != FileTransfers::Outcome::Completed)
        return;
    QString error;
    const QImage image = PictureWindow::decode(path, &error);
    if (image.isNull()) {
        m_seams.inform(m_chatWindow, tr("Incoming Picture"),
                       tr("The picture %1 from %2 cannot be shown. %3").arg(offer.name, m_partner, error));
        return;
    }
    auto *window = new PictureWindow(image, path, offer.name, nullptr, offer.folder);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    // The window outlives the chat, not the program: its folder goes with it.
    connect(qApp, &QCoreApplication::aboutToQuit, window, [window] { delete window; });
    m_pictureWindows << window;
    window->show();
}

void ChatFileTransfers::closeAll()
{
    m_transfers.closeAll();
}

void ChatFileTransfers::showTransfers()
{
    if (!m_window->isVisible())
        m_window->show();
}

} // namespace quillet
