#pragma once

#include <QByteArray>
#include <QObject>

#include <cstddef>

struct VfsMirkCommand;

// Decodes file-system protocol frames, requests and replies alike, into a
// VfsMirkCommand. Every field is read within the frame: a short, malformed or
// oversized frame is refused and never read beyond its end. One parser and
// one record belong to a peer and are used on the thread that receives the
// peer's messages.
class VfsMirkCommandParser : public QObject
{
    Q_OBJECT
public:
    explicit VfsMirkCommandParser(QObject* parent = nullptr);
    ~VfsMirkCommandParser() override;

    int id() const { return m_id; }

    // data: the whole frame as received, header included. version: the
    // protocol version of the link, which changes only OPEN_FILE requests.
    // True when the frame was decoded; commandReceived() is emitted first.
    bool processCommand(const quint8* data, std::size_t size, VfsMirkCommand* cmd,
                        quint16 version);

signals:
    void commandReceived();

public slots:
    bool processCommand(const QByteArray& data, VfsMirkCommand* cmd, quint16 version);

private:
    int m_id;
};
